#pragma once

#include <QWidget>

class QLabel;

class Widget : public QWidget
{
	Q_OBJECT

public:
	explicit Widget(QWidget *parent = nullptr);
	~Widget() override;

private:
	void done();

	QLabel *text;
};
