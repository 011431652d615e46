#include "ui/cupdateerror.h"

#include "ui/dialogskin.h"
#include "ui/labelfitter.h"
#include "ui_cupdateerror.h"

#include <QDesktopServices>
#include <QUrl>

CUpdateError::CUpdateError(QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::CUpdateError)
{
    m_ui->setupUi(this);
    applyDialogSkin(this);
    m_title = new LabelFitter(m_ui->label);
    m_message = new LabelFitter(m_ui->error);
    // Until a download page is configured there is nothing for the button to open.
    m_ui->download->hide();
    connect(m_ui->retry, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_ui->download, &QPushButton::clicked, this, &CUpdateError::openDownloadPage);
}

CUpdateError::~CUpdateError() = default;

void CUpdateError::setDownloadUrl(QString url)
{
    m_downloadUrl = url;
    m_ui->download->setVisible(!m_downloadUrl.isEmpty());
}

void CUpdateError::setMessage(QString title, QString message, bool retry)
{
    m_title->setText(title);
    m_message->setText(message);
    // A message without retry is final; the download page goes with the retry
    // offer, so that a refusal (already running, bad configuration) shows no buttons.
    m_ui->retry->setVisible(retry);
    m_ui->download->setVisible(retry && !m_downloadUrl.isEmpty());
}

void CUpdateError::openDownloadPage()
{
    // The address comes from the local configuration as typed by an administrator;
    // tolerant parsing fixes stray spaces and the like. Whether a browser opened is
    // not reported: the dialog stays, and the user can retry or click again.
    QDesktopServices::openUrl(QUrl(m_downloadUrl, QUrl::TolerantMode));
}

void CUpdateError::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
