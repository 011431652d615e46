#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class LabelFitter;

namespace Ui {
class CUpdateError;
}

/// The modal dialog that shows a failure or a refusal: a headline, a message line, a
/// retry button (exec() returns 1) and a button that opens the manual-download page.
class CUpdateError : public QDialog
{
    Q_OBJECT
public:
    explicit CUpdateError(QWidget *parent = nullptr);
    ~CUpdateError() override;

    /// Remembers the manual-download page; the download button shows only when it is set.
    void setDownloadUrl(QString url);
    /// Replaces headline and message; without retry, neither button is offered.
    void setMessage(QString title, QString message, bool retry);
    /// Hands the download page to the desktop's URL handler; the dialog stays open.
    void openDownloadPage();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::unique_ptr<Ui::CUpdateError> m_ui;
    LabelFitter *m_title = nullptr;   ///< owned by its label
    LabelFitter *m_message = nullptr; ///< owned by its label
    QString m_downloadUrl;
};
