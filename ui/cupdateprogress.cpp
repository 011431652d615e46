#include "ui/cupdateprogress.h"

#include "download/cdownloadthread.h"
#include "ui/dialogskin.h"
#include "ui/labelfitter.h"
#include "ui_cupdateprogress.h"

#include <limits>

namespace {

// Changes are painted at most this often. A bar's setValue() repaints the dialog at
// once, background included; with thousands of small files that painting, not the
// transfer, would set the pace of the whole update.
constexpr int FrameIntervalMs = 40;

/// Share of files begun, or -1 when the figures make no sense. Computed in 64 bits:
/// the design's 32-bit product would overflow (undefined) past 21 million entries.
int overallPercent(int current, int total)
{
    if (total <= 0 || current < 0 || current > total)
        return -1;
    return static_cast<int>(int64_t(current) * 100 / total);
}

/// Share of the current file's bytes, or -1 when there is no meaningful value: a
/// transfer without a known length reports a total of 0 or -1, and more bytes than
/// announced would give more than 100. Checked before narrowing, so nothing can wrap.
int filePercent(int64_t received, int64_t total)
{
    if (total <= 0 || received < 0 || received > total)
        return -1;
    if (received <= std::numeric_limits<int64_t>::max() / 100)
        return static_cast<int>(received * 100 / total);
    // Beyond 92 petabytes the product would overflow; received <= total keeps the
    // result within 0-100 either way.
    return static_cast<int>(qMin<int64_t>(100, received / (total / 100)));
}

} // namespace

CUpdateProgress::CUpdateProgress(CDownloadThread *thread, QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::CUpdateProgress)
{
    m_ui->setupUi(this);
    applyDialogSkin(this);
    // The title never changes, but a translation may make it longer than its label.
    new LabelFitter(m_ui->label);
    m_desc = new LabelFitter(m_ui->desc);
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setInterval(FrameIntervalMs);
    connect(&m_frameTimer, &QTimer::timeout, this, &CUpdateProgress::paintFrame);
    // The interruption request must come before quit(): once the thread has finished,
    // QThread::requestInterruption() is silently ignored, and the worker's handlers,
    // which run on this thread, would carry on downloading and installing.
    connect(m_ui->cancel, &QPushButton::clicked, thread, &QThread::requestInterruption);
    connect(m_ui->cancel, &QPushButton::clicked, thread, &QThread::quit);
    connect(thread, &CDownloadThread::downloadStarted, this, &CUpdateProgress::onDownloadStarted);
    connect(thread, &CDownloadThread::downloadProgress, this, &CUpdateProgress::onDownloadProgress);
    connect(thread, &CDownloadThread::downloadFinished, this, &CUpdateProgress::onDownloadFinished);
    connect(thread, &CDownloadThread::downloadFail, this, &CUpdateProgress::onDownloadFail);
    // The only way the dialog closes: the driver may destroy the worker only after
    // its thread has ended, so the dialog must not return before that.
    connect(thread, &QThread::finished, this, &QDialog::accept);
    thread->start(QThread::InheritPriority);
}

CUpdateProgress::~CUpdateProgress() = default;

void CUpdateProgress::holdPainting()
{
    // With updates disabled, the widgets take their new values at once but neither
    // repaint() nor update() paints; the frame timer paints them all in one go.
    // A hidden dialog paints nothing anyway, and must stay renderable (grab()).
    if (m_frameTimer.isActive() || !isVisible())
        return;
    setUpdatesEnabled(false);
    m_frameTimer.start();
}

void CUpdateProgress::paintFrame()
{
    setUpdatesEnabled(true);
    // Now, not through a posted update request: a change arriving before that
    // request is handled would disable updates again and the frame would be lost.
    if (isVisible())
        repaint();
}

void CUpdateProgress::onDownloadStarted(QFileInfo filename, int current, int total)
{
    holdPainting();
    const int percent = overallPercent(current, total);
    if (percent >= 0)
        m_ui->total->setValue(percent);
    m_underWay.append(filename.absoluteFilePath());
    // The file bar follows the oldest file under way, so it starts over only when
    // that one changes.
    if (m_underWay.size() == 1)
        m_ui->progress->setValue(0);
    showOldestUnderWay();
}

void CUpdateProgress::onDownloadFinished(QFileInfo filename)
{
    // Compared by path: QFileInfo's == takes two files that do not exist yet for one.
    const QString path = filename.absoluteFilePath();
    const bool wasOldest = !m_underWay.isEmpty() && m_underWay.first() == path;
    m_underWay.removeOne(path);
    if (!wasOldest || m_underWay.isEmpty())
        return;
    holdPainting();
    m_ui->progress->setValue(0);
    showOldestUnderWay();
}

void CUpdateProgress::showOldestUnderWay()
{
    m_desc->setText(tr("正在下载更新文件%1").arg(QFileInfo(m_underWay.first()).fileName()));
}

void CUpdateProgress::onDownloadProgress(int64_t bytesReceived, int64_t bytesTotal)
{
    const int percent = filePercent(bytesReceived, bytesTotal);
    if (percent < 0)
        return;
    holdPainting();
    m_ui->progress->setValue(percent);
}

void CUpdateProgress::onDownloadFail(QFileInfo, QString errormsg)
{
    holdPainting();
    m_desc->setText(errormsg);
}

void CUpdateProgress::reject()
{
    // QDialog::reject() would end exec() while the worker's thread still runs, and the
    // driver would then destroy a running QThread, which aborts the process. Instead,
    // Escape and close requests do exactly what the cancel button does, through the
    // button's own connections (the dialog keeps no worker pointer), and the thread's
    // finished() closes the dialog as for any other end of the run.
    m_ui->cancel->click();
}

void CUpdateProgress::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
