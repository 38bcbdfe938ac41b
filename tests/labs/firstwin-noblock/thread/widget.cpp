// The handler starts a thread that calls done() 3 s later.
#include "widget.h"

#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <cstdio>
#include <thread>

Widget::Widget(QWidget *parent) : QWidget(parent)
{
	setWindowTitle(tr("firstwin"));

	text = new QLabel(tr("Press Wait: 3 s later, it is done."));
	text->setAlignment(Qt::AlignCenter);
	auto *wait = new QPushButton(tr("&Wait"));
	auto *quit = new QPushButton(tr("Quit"));
	auto *layout = new QVBoxLayout(this);
	layout->addWidget(text);
	layout->addWidget(wait);
	layout->addWidget(quit);
	resize(420, 160);

	// A thread of its own waits, then calls done() itself: off the main
	// thread, where no widget may be touched.
	connect(wait, &QPushButton::clicked, this, [this] {
		std::thread([this] {
			std::this_thread::sleep_for(std::chrono::seconds(3));
			done();
		}).detach();
	});
	// Closing the last window ends the event loop with status 0, however
	// the window is closed.
	connect(quit, &QPushButton::clicked, this, &QWidget::close);
	// Spelled out: QKeySequence::Quit is empty on some platforms.
	auto *shortcut = new QShortcut(QKeySequence(tr("Ctrl+Q")), this);
	connect(shortcut, &QShortcut::activated, this, &QWidget::close);
}

Widget::~Widget() = default;

void
Widget::done()
{
	text->setText(tr("Done, 3 s after the press."));
	// Standard output may be a file or a pipe: the line goes out now,
	// as it happens, not when the buffer fills.
	std::puts("done");
	std::fflush(stdout);
}
