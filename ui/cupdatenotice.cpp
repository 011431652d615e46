#include "ui/cupdatenotice.h"

#include "ui/dialogskin.h"
#include "ui/labelfitter.h"
#include "ui_cupdatenotice.h"

CUpdateNotice::CUpdateNotice(QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::CUpdateNoticeClass)
{
    m_ui->setupUi(this);
    applyDialogSkin(this);
    m_version = new LabelFitter(m_ui->version);
    connect(m_ui->update, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->skip, &QPushButton::clicked, this, &QDialog::reject);
}

CUpdateNotice::~CUpdateNotice() = default;

void CUpdateNotice::setVersion(QString version)
{
    // arg() fills the placeholder of the template only; a "%1" inside the version
    // text itself is shown as it stands.
    m_version->setText(tr("发现新版本：%1").arg(version));
}

void CUpdateNotice::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
