#ifndef TESSAL_PROGRESSPOPUP_H
#define TESSAL_PROGRESSPOPUP_H

#include <QDialog>
#include <QString>

namespace Ui
{
class ProgressPopup;
}

namespace Tessal
{

// A modal progress bar with a title, shown without blocking while the caller
// feeds it percentages.
class ProgressPopup : public QDialog
{
    Q_OBJECT
public:
    explicit ProgressPopup(const QString& title, QWidget* parent = nullptr);
    ~ProgressPopup() override;

    void setProgress(int percent);
    int progress() const;
    QString title() const;

private:
    Ui::ProgressPopup* ui;
};

} // namespace Tessal

#endif
