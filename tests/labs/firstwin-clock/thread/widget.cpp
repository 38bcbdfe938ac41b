// A thread that ticks, and asks the main thread to set the label.
#include "widget.h"

#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTime>
#include <QVBoxLayout>

#include <chrono>
#include <thread>

Widget::Widget(QWidget *parent) : QWidget(parent)
{
	setWindowTitle(tr("firstwin"));

	auto *clock = new QLabel(QTime::currentTime().toString(Qt::ISODate));
	clock->setAlignment(Qt::AlignCenter);
	auto *quit = new QPushButton(tr("Quit"));
	auto *layout = new QVBoxLayout(this);
	layout->addWidget(clock);
	layout->addWidget(quit);
	resize(420, 160);

	// A thread of its own sleeps a second at a time, and has the label
	// set in the main thread.
	std::thread([clock] {
		for (;;) {
			std::this_thread::sleep_for(std::chrono::seconds(1));
			QMetaObject::invokeMethod(clock, [clock] {
				clock->setText(QTime::currentTime().toString(
					Qt::ISODate));
			});
		}
	}).detach();

	// Closing the last window ends the event loop with status 0, however
	// the window is closed.
	connect(quit, &QPushButton::clicked, this, &QWidget::close);
	// Spelled out: QKeySequence::Quit is empty on some platforms.
	auto *shortcut = new QShortcut(QKeySequence(tr("Ctrl+Q")), this);
	connect(shortcut, &QShortcut::activated, this, &QWidget::close);
}

Widget::~Widget() = default;
