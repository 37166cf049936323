#include "shell/xevagreedlg.h"

#include <QFile>
#include <QMouseEvent>
#include <QStringDecoder>
#include <QTimerEvent>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/platcodepage.h"
#include "platform/platfile.h"
#include "platform/platfolder.h"
#include "shell/xev_uistring.h"
#include "shell/xevbitmap.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevkestroappcore.h"

namespace {

const QColor kBackground(92, 93, 93);

QString Decode(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError()) {
        return text;
    }
    // Not UTF-8: the Japanese Windows code page the terms files were written in. Decoded
    // here, not through the process locale, which loader threads rely on.
    std::u16string wide;
    PlatMultiByteToUtf16(932, std::string_view(bytes.constData(), size_t(bytes.size())), wide);
    return QString::fromUtf16(wide.data(), qsizetype(wide.size()));
}

void LoadButtonSkin(CXEVBitmapButton* button, const QString& skin, uint16_t normal, uint16_t selected, uint16_t focus,
                    uint16_t disabled)
{
    if (button->LoadSkin(skin) != 1) {
        button->CXEVOwnerDrawButton::LoadBitmaps(normal, selected, focus, disabled);
    }
}

}   // namespace

CXEVAgreeDlg::CXEVAgreeDlg(QWidget* owner, const XEVWindowHandle& notify, int32_t mode, const QStringList& arguments)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint), notify_(notify), mode_(mode), arguments_(arguments)
{
    setAttribute(Qt::WA_DeleteOnClose);
    QPalette back = palette();
    back.setColor(QPalette::Window, kBackground);
    setPalette(back);
    setAutoFillBackground(true);

    background_ = new QLabel(this);
    QPixmap picture;
    picture.load(QStringLiteral(":/xev/bitmap/243"), "BMP");
    background_->setPixmap(picture);
    textBox_ = new CXEVEdit(this);
    textBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    textBox_->setFrameShape(QFrame::Box);
    ok_ = new CXEVBitmapButton(this);
    cancel_ = new CXEVBitmapButton(this);
    check_ = new QCheckBox(this);
    label_ = new QLabel(this);
    QPalette light = label_->palette();
    light.setColor(QPalette::WindowText, Qt::white);
    light.setColor(QPalette::Window, kBackground);
    label_->setPalette(light);
    label_->setAutoFillBackground(true);
    label_->installEventFilter(this);
    check_->setPalette(light);
    check_->setAutoFillBackground(true);

    LoadSkins();
    ok_->setToolTip(GetUIString(20101));
    cancel_->setToolTip(GetUIString(20102));
    QObject::connect(ok_, &QAbstractButton::clicked, this, [this] { OnOK(); });
    QObject::connect(cancel_, &QAbstractButton::clicked, this, [this] { OnCancel(); });

    textBox_->setReadOnly(true);
    if (font_.CreateFromInfo(GetCommonSettings().Fonts[0], textBox_)) {
        textBox_->setFont(font_.Font());
    }
    LoadAgreementText();
    label_->setText(GetUIString(20320));
    if (mode_ == 1) {
        check_->hide();
        label_->hide();
        cancel_->hide();
        ok_->setGeometry(684, 520, 94, 22);
    }
    resize(800, 560);
    LayoutControls();
}

CXEVAgreeDlg::~CXEVAgreeDlg() = default;

void CXEVAgreeDlg::LoadSkins()
{
    LoadButtonSkin(ok_, QStringLiteral("OK"), 246, 247, 244, 245);
    LoadButtonSkin(cancel_, QStringLiteral("Cancel"), 250, 251, 248, 249);
}

void CXEVAgreeDlg::Present(const QRect& ownerRect)
{
    const int x = ownerRect.left() + (ownerRect.width() - 800) / 2;
    const int y = ownerRect.top() + (ownerRect.height() - 560) / 2 + 40;
    setGeometry(x, y, 800, 560);
    if (CKestroAppCore::AgreesWithoutAsking(arguments_)) {
        qtTimerId_ = startTimer(10);
    } else {
        show();
    }
}

void CXEVAgreeDlg::LayoutControls()
{
    if (background_ == nullptr) {
        return;
    }
    background_->setGeometry(rect());
    textBox_->setGeometry(20, 185, 760, 321);
    if (GetCommonSettings().ModeOrvix) {
        check_->setGeometry(20, 516, 20, 20);
        const QSize text = label_->fontMetrics().size(Qt::TextSingleLine, label_->text());
        label_->setGeometry(40, 519, text.width(), text.height());
    } else {
        check_->hide();
        label_->hide();
    }
    if (mode_ == 0) {
        ok_->setGeometry(580, 520, 94, 22);
    }
    cancel_->setGeometry(684, 520, 94, 22);
}

void CXEVAgreeDlg::LoadAgreementText()
{
    const int32_t dpi = GetCommonSettings().ScreenDpi == 120 ? 120 : 96;
    QString text = BuiltInText(dpi);
    QString folder = QString::fromStdString(PlatGetModuleFolder());
    if (!folder.endsWith(u'/')) {
        folder += u'/';
    }
    ReadTextFile(folder + (dpi == 120 ? QStringLiteral("AGR120.TXT") : QStringLiteral("AGR96.TXT")), text);
    // The box keeps lines by "\n" alone; "\r" would show as a mark of its own.
    textBox_->setPlainText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

int32_t CXEVAgreeDlg::ReadTextFile(const QString& path, QString& text)
{
    if (!QFile::exists(path)) {
        return kXEVReadTextMissing;
    }
    // Beside the program, on the disc: never a pipe or a device.
    std::string bytes;
    if (!PlatReadRegularFile(QFile::encodeName(path).toStdString(), bytes)) {
        return kXEVReadTextUnreadable;
    }
    text.clear();
    const QString all = Decode(QByteArray::fromStdString(bytes));
    QStringList lines = all.split(u'\n');
    if (!lines.isEmpty() && lines.back().isEmpty()) {
        lines.removeLast();
    }
    for (QString& line : lines) {
        if (line.endsWith(u'\r')) {
            line.chop(1);
        }
        text += line + QStringLiteral("\r\n");
    }
    return 0;
}

void CXEVAgreeDlg::OnOK()
{
    if (finished_) {
        return;
    }
    if (GetCommonSettings().ModeOrvix && check_->isChecked()) {
        // Without an acceptance folder nothing is written: "Agree" must never land in the
        // working folder.
        const QString folder = CKestroAppCore::GetAgreementFolder();
        if (!folder.isEmpty()) {
            const int fd = ::open(QFile::encodeName(folder + QStringLiteral("Agree")).constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    Finish(1);
}

void CXEVAgreeDlg::OnCancel()
{
    if (mode_ == 0) {
        Finish(0);
    }
}

void CXEVAgreeDlg::OnTimer(int32_t id)
{
    if (id != kXEVAgreeTimerId) {
        return;
    }
    Finish(1);
}

void CXEVAgreeDlg::OnLabelClicked()
{
    check_->setChecked(!check_->isChecked());
}

void CXEVAgreeDlg::Finish(int32_t accepted)
{
    // One answer only, whichever of OK, Cancel and the timer comes first.
    if (finished_) {
        return;
    }
    finished_ = true;
    if (qtTimerId_ != 0) {
        killTimer(qtTimerId_);
        qtTimerId_ = 0;
    }
    XEVPostMessage(notify_, WM_XEV_AGREEMENT_CLOSED, XEVWParam(accepted), 0);
    hide();
    deleteLater();
}

void CXEVAgreeDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    LayoutControls();
}

void CXEVAgreeDlg::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == qtTimerId_) {
        OnTimer(kXEVAgreeTimerId);
        return;
    }
    QDialog::timerEvent(event);
}

bool CXEVAgreeDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == label_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        OnLabelClicked();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
