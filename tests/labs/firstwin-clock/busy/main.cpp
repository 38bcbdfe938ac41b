// The clock set again in a loop of its own, which hands the event loop
// what has come in and goes round again at once, never to sleep.
#include <QApplication>

#include "widget.h"

int
main(int argc, char *argv[])
{
	QApplication a(argc, argv);
	Widget w;
	w.show();
	while (w.isVisible()) {
		w.tick();
		QApplication::processEvents();
	}
	return 0;
}
