#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "widget.h"

class tst_widget : public QObject
{
	Q_OBJECT

private slots:
	void title_and_quit_button()
	{
		Widget w;
		QCOMPARE(w.windowTitle(), QString("firstwin"));
		auto *quit = w.findChild<QPushButton *>();
		QVERIFY(quit);
		QCOMPARE(quit->text(), QString("Quit"));
	}

	void quit_button_and_ctrl_q_close_the_window()
	{
		for (bool button : {true, false}) {
			Widget w;
			w.show();
			QApplication::setActiveWindow(&w);
			QVERIFY(QTest::qWaitForWindowActive(&w));
			if (button)
				QTest::mouseClick(w.findChild<QPushButton *>(),
						  Qt::LeftButton);
			else
				QTest::keyClick(&w, Qt::Key_Q,
						Qt::ControlModifier);
			QVERIFY2(!w.isVisible(), button ? "button" : "Ctrl+Q");
		}
	}
};

QTEST_MAIN(tst_widget)
#include "widget.moc"
