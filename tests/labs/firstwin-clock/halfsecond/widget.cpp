// A timer that fires twice a second.
#include "widget.h"

#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>

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

	// The loop sleeps in poll until the timer is due, and wakes for it.
	auto *timer = new QTimer(this);
	connect(timer, &QTimer::timeout, clock, [clock] {
		clock->setText(QTime::currentTime().toString(Qt::ISODate));
	});
	timer->start(500);

	// Closing the last window ends the event loop with status 0, however
	// the window is closed.
	connect(quit, &QPushButton::clicked, this, &QWidget::close);
	// Spelled out: QKeySequence::Quit is empty on some platforms.
	auto *shortcut = new QShortcut(QKeySequence(tr("Ctrl+Q")), this);
	connect(shortcut, &QShortcut::activated, this, &QWidget::close);
}

Widget::~Widget() = default;
