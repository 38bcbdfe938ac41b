// QObject::startTimer and timerEvent, in place of a QTimer.
#include "widget.h"

#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTime>
#include <QVBoxLayout>

Widget::Widget(QWidget *parent) : QWidget(parent)
{
	setWindowTitle(tr("firstwin"));

	clock = new QLabel(QTime::currentTime().toString(Qt::ISODate));
	clock->setAlignment(Qt::AlignCenter);
	auto *quit = new QPushButton(tr("Quit"));
	auto *layout = new QVBoxLayout(this);
	layout->addWidget(clock);
	layout->addWidget(quit);
	startTimer(1000);
	resize(420, 160);

	// Closing the last window ends the event loop with status 0, however
	// the window is closed.
	connect(quit, &QPushButton::clicked, this, &QWidget::close);
	// Spelled out: QKeySequence::Quit is empty on some platforms.
	auto *shortcut = new QShortcut(QKeySequence(tr("Ctrl+Q")), this);
	connect(shortcut, &QShortcut::activated, this, &QWidget::close);
}

Widget::~Widget() = default;

// The event loop's own timer, by its id: each second, the time.
void
Widget::timerEvent(QTimerEvent *)
{
	clock->setText(QTime::currentTime().toString(Qt::ISODate));
}
