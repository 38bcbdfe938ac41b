#pragma once

#include <QWidget>

class QLabel;

class Widget : public QWidget
{
	Q_OBJECT

public:
	explicit Widget(QWidget *parent = nullptr);
	~Widget() override;

protected:
	void timerEvent(QTimerEvent *event) override;

private:
	QLabel *clock;
};
