// A timer that sets the text the label had from the start.
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

	// The time is read once, when the window is made: each tick sets the
	// same text again.
	auto *timer = new QTimer(this);
	const QString now = QTime::currentTime().toString(Qt::ISODate);
	connect(timer, &QTimer::timeout, clock,
		[clock, now] { clock->setText(now); });
	timer->start(1000);

	// Closing the last window ends the event loop with status 0, however
	// the window is closed.
	connect(quit, &QPushButton::clicked, this, &QWidget::close);
	// Spelled out: QKeySequence::Quit is empty on some platforms.
	auto *shortcut = new QShortcut(QKeySequence(tr("Ctrl+Q")), this);
	connect(shortcut, &QShortcut::activated, this, &QWidget::close);
}

Widget::~Widget() = default;
