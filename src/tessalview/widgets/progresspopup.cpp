#include "progresspopup.h"
#include "ui_progresspopup.h"

namespace Tessal
{

ProgressPopup::ProgressPopup(const QString& title, QWidget* parent)
    : QDialog(parent), ui(new Ui::ProgressPopup)
{
    ui->setupUi(this);
    ui->lblTitle->setText(title);
    ui->progressBar->setRange(0, 100);
    ui->progressBar->setValue(0);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
}

ProgressPopup::~ProgressPopup()
{
    delete ui;
}

void ProgressPopup::setProgress(int percent)
{
    ui->progressBar->setValue(percent);
}

int ProgressPopup::progress() const
{
    return ui->progressBar->value();
}

QString ProgressPopup::title() const
{
    return ui->lblTitle->text();
}

} // namespace Tessal
