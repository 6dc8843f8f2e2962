#ifndef TESSAL_TIMEDPOPUP_H
#define TESSAL_TIMEDPOPUP_H

#include <QDialog>
#include <QString>

namespace Ui
{
class TimedPopup;
}

namespace Tessal
{

// A short modal message that closes itself after its duration.
class TimedPopup : public QDialog
{
    Q_OBJECT
public:
    static const int DefaultDuration = 3000;

    TimedPopup(int duration, const QString& message, QWidget* parent = nullptr);
    explicit TimedPopup(const QString& message, QWidget* parent = nullptr);
    ~TimedPopup() override;

    QString message() const;

public slots:
    void timerElapsed();

private:
    Ui::TimedPopup* ui;
};

} // namespace Tessal

#endif
