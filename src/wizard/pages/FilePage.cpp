#include "FilePage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>

#include "PropertySheet.h"
#include "Registry.h"
#include "Resource.h"
#include "StringTable.h"
#include "UpgraderSheet.h"

namespace {

// Whether path names a regular file that opens for reading. The open does not wait, so a
// FIFO or a device never blocks the page.
bool CanOpenForReading(const QString& path) {
    if (path.isEmpty()) {
        return false;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    const bool bRegular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return bRegular;
}

// The folder part of a path with its trailing separator ("/fw/" for "/fw/pkg.inf"), or an
// empty text when the path has none.
QString FolderOf(const QString& path) {
    const qsizetype nSlash = path.lastIndexOf(QLatin1Char('/'));
    return nSlash < 0 ? QString() : path.left(nSlash + 1);
}

}  // namespace

CFilePage::CFilePage(CUpgraderSheet* pSheet) : CPropertyPage(IDD_FILE), m_pSheet(pSheet) {}

void CFilePage::OnInitDialog() {
    if (auto* pBrowse = qobject_cast<QPushButton*>(GetDlgItem(IDC_BROWSE))) {
        connect(pBrowse, &QPushButton::clicked, this, &CFilePage::OnBrowse);
    }
    if (auto* pPath = qobject_cast<QLineEdit*>(GetDlgItem(IDC_FILENAME))) {
        connect(pPath, &QLineEdit::textChanged, pPath, &QWidget::setToolTip);
        // A file dropped on the field is taken as a package, not as text to insert.
        pPath->setAcceptDrops(false);
    }
    // Drops anywhere on the window: the sheet asks this page about each one.
    QWidget* pWindow = window();
    pWindow->setAcceptDrops(true);
    pWindow->installEventFilter(this);
}

QString CFilePage::DroppedPackage(const QMimeData* pData) {
    if (pData == nullptr || !pData->hasUrls()) {
        return {};
    }
    const QList<QUrl> urls = pData->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) {
        return {};
    }
    const QFileInfo file(urls.front().toLocalFile());
    const QString suffix = file.suffix();
    const bool bPackage = suffix.compare(QLatin1String("inf"), Qt::CaseInsensitive) == 0 ||
                          suffix.compare(QLatin1String("bin"), Qt::CaseInsensitive) == 0;
    return bPackage && file.isFile() ? file.absoluteFilePath() : QString();
}

bool CFilePage::eventFilter(QObject* pWatched, QEvent* pEvent) {
    const QEvent::Type type = pEvent->type();
    if (pWatched != window() ||
        (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop)) {
        return CPropertyPage::eventFilter(pWatched, pEvent);
    }
    auto* pDrop = static_cast<QDropEvent*>(pEvent);
    const bool bShown = GetParentSheet() != nullptr && GetParentSheet()->GetActivePage() == this;
    const QString path = bShown ? DroppedPackage(pDrop->mimeData()) : QString();
    if (path.isEmpty()) {
        pDrop->ignore();
        return true;
    }
    pDrop->acceptProposedAction();
    if (type == QEvent::Drop) {
        m_strFileName = path;
        UpdateData(win::FALSE);
        if (QWidget* pPath = GetDlgItem(IDC_FILENAME)) {
            pPath->setFocus();
        }
    }
    return true;
}

void CFilePage::DoDataExchange(CDataExchange* pDX) {
    DDX_Text(pDX, IDC_FILENAME, m_strFileName);
}

win::BOOL CFilePage::OnSetActive() {
    m_pSheet->SetWizardButtons(win::PSWIZB_BACK | win::PSWIZB_NEXT);
    if (ReadRegistryString(HKEY_CURRENT_USER, LoadString(IDS_REGISTRY_KEY),
                           LoadString(IDS_FLASH_FILENAME), &m_strFileName)) {
        UpdateData(win::FALSE);
    }
    return CPropertyPage::OnSetActive();
}

void CFilePage::OnBrowse() {
    UpdateData(win::TRUE);
    QFileDialog dialog(this, tr("Open"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    const QStringList filters{QStringLiteral("Binary files (*.bin)"),
                              QStringLiteral("Firmware Files (*.inf)")};
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.front());
    dialog.setDefaultSuffix(QStringLiteral("inf"));
    const QString folder = FolderOf(m_strFileName);
    dialog.setDirectory(folder.isEmpty() ? QDir::currentPath() : QDir(folder).absolutePath());
    if (!m_strFileName.isEmpty()) {
        dialog.selectFile(QFileInfo(m_strFileName).fileName());
    }
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) {
        return;
    }
    m_strFileName = chosen.front();
    UpdateData(win::FALSE);
}

win::LRESULT CFilePage::OnWizardNext() {
    UpdateData(win::TRUE);
    if (!CanOpenForReading(m_strFileName)) {
        return 1;
    }
    if (QDir::isRelativePath(m_strFileName) && !FolderOf(m_strFileName).isEmpty()) {
        m_strFileName = QFileInfo(m_strFileName).absoluteFilePath();
        UpdateData(win::FALSE);
    }
    const QString folder = FolderOf(m_strFileName);
    if (!folder.isEmpty() && !QDir::setCurrent(folder)) {
        return -1;
    }
    WriteRegistryString(HKEY_CURRENT_USER, LoadString(IDS_REGISTRY_KEY),
                        LoadString(IDS_FLASH_FILENAME), m_strFileName);
    return 0;
}
