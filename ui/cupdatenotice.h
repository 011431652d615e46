#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class LabelFitter;

namespace Ui {
class CUpdateNoticeClass;
}

/// The modal question before an optional update: exec() returns 1 for "install now"
/// (or Enter) and 0 for "later" (or Escape).
class CUpdateNotice : public QDialog
{
    Q_OBJECT
public:
    explicit CUpdateNotice(QWidget *parent = nullptr);
    ~CUpdateNotice() override;

    /// Shows "发现新版本：<version>"; the version text is taken literally.
    void setVersion(QString version);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::unique_ptr<Ui::CUpdateNoticeClass> m_ui;
    LabelFitter *m_version = nullptr; ///< owned by its label
};
