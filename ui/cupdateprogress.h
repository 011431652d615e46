#pragma once

#include <QDialog>
#include <QFileInfo>
#include <QStringList>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>

class CDownloadThread;
class LabelFitter;

namespace Ui {
class CUpdateProgress;
}

/// The modal dialog shown while the worker downloads and installs. It starts the
/// worker's thread and closes (exec() returns 1) once that thread has finished.
class CUpdateProgress : public QDialog
{
    Q_OBJECT
public:
    /// Connects to the not yet started worker, then starts its thread. No pointer
    /// to the worker is kept: the connections are the only link.
    explicit CUpdateProgress(CDownloadThread *thread, QWidget *parent = nullptr);
    ~CUpdateProgress() override;

    /// A file after the first one begins: overall bar, description, file bar reset.
    void onDownloadStarted(QFileInfo filename, int current, int total);
    /// A file is verified. With several under way, the description names the oldest
    /// one still coming, the one the run waits for longest.
    void onDownloadFinished(QFileInfo filename);
    /// Byte progress of the current file; totals of 0 or less leave the bar alone.
    void onDownloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    /// Shows the worker's failure text unchanged until the thread's end closes the dialog.
    void onDownloadFail(QFileInfo filename, QString errormsg);

    /// Escape, Alt+F4 and close requests act as the cancel button: the worker is asked
    /// to stop and the dialog stays open until its thread has finished.
    void reject() override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    /// Lets a change reach the screen with the next frame instead of at once.
    void holdPainting();
    /// Paints what changed since the last frame.
    void paintFrame();
    /// Names the oldest file still under way in the description.
    void showOldestUnderWay();

    std::unique_ptr<Ui::CUpdateProgress> m_ui;
    LabelFitter *m_desc = nullptr; ///< owned by its label
    QTimer m_frameTimer; ///< runs while changes wait for the next frame
    QStringList m_underWay; ///< paths of the files begun and not yet verified, oldest first
};
