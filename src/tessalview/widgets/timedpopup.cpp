#include "timedpopup.h"
#include "ui_timedpopup.h"

#include <QTimer>

namespace Tessal
{

TimedPopup::TimedPopup(int duration, const QString& message, QWidget* parent)
    : QDialog(parent), ui(new Ui::TimedPopup)
{
    ui->setupUi(this);
    ui->lblMsg->setText(message);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    // A zero duration closes the popup at the first pass of the event loop;
    // the timer is a child so it dies with the popup.
    QTimer* timer = new QTimer(this);
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, &TimedPopup::timerElapsed);
    timer->start(duration < 0 ? 0 : duration);
}

TimedPopup::TimedPopup(const QString& message, QWidget* parent)
    : TimedPopup(DefaultDuration, message, parent)
{
}

TimedPopup::~TimedPopup()
{
    delete ui;
}

QString TimedPopup::message() const
{
    return ui->lblMsg->text();
}

void TimedPopup::timerElapsed()
{
    close();
}

} // namespace Tessal
