#include "controls/qt/Command.h"

#include <QApplication>
#include <QCursor>
#include <QFocusEvent>
#include <QKeySequence>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPainter>

#include <string_view>

#include "controls/AccessKey.h"
#include "controls/CommandGeometry.h"
#include "controls/qt/CommandPictures.h"

namespace quarnel {
namespace {

constexpr int DesignWidth = 105;  // 1575 x 420 twips
constexpr int DesignHeight = 28;
constexpr int HoverInterval = 100;  // ms between looks under the pointer
constexpr int CaptionMargin = 4;    // pixels kept free of the caption left and right

const QColor FaceWhite(0xFF, 0xFF, 0xFF);
const QColor FaceLavender(0xC6, 0xC5, 0xD7);
const QColor CaptionEnabled(0x00, 0x00, 0x00);
const QColor CaptionDisabled(0xC0, 0xC0, 0xC0);

// Colours are saved as 0x00BBGGRR.
QColor FromBgr(std::uint32_t bgr) {
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

qint32 ToBgr(const QColor& colour) {
    return qint32(colour.red() | (colour.green() << 8) | (colour.blue() << 16));
}

QRect Rect(const PixelRect& rect) {
    return QRect(rect.X, rect.Y, rect.Width, rect.Height);
}

}  // namespace

Command::Command(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);  // every paint covers the whole button
    resize(DesignWidth, DesignHeight);
    QFont design(QStringLiteral("Arial"));
    design.setPointSizeF(9.75);
    design.setWeight(QFont::Normal);
    setFont(design);

    // The timer stays off until Initialize.
    connect(&TmrMouse, &QTimer::timeout, this, &Command::TmrMouse_Timer);
    probePointer_ = [] { return QApplication::widgetAt(QCursor::pos()); };

    accessKeyShortcut_.setContext(Qt::WindowShortcut);
    accessKeyShortcut_.setAutoRepeat(false);  // one press, one Click
    connect(&accessKeyShortcut_, &QShortcut::activated, this, &Command::AccessKeyPressed);
    // Buttons that share a key take the focus in turn and click none, as dialog buttons do.
    connect(&accessKeyShortcut_, &QShortcut::activatedAmbiguously, this,
            [this] { setFocus(Qt::ShortcutFocusReason); });

    caption_ = QStringLiteral("Command");
    SetEnabled(true);
}

Command::~Command() = default;

void Command::SetCaption(const QString& caption) {
    caption_ = caption;
    emit PropertyChanged(QStringLiteral("Caption"));
    Redraw();
}

bool Command::Enabled() {
    if (FirstRun == 0) {
        FirstRun = 1;
        machine_.SetEnabled(true);
        ApplyEnabled();
    }
    return machine_.IsEnabled();
}

void Command::SetEnabled(bool enabled) {
    machine_.SetEnabled(enabled);
    ApplyEnabled();
    emit PropertyChanged(QStringLiteral("Enabled"));
    Redraw();
}

std::uint8_t Command::Visible() {
    if (visibleFlag_ == 0) {
        return 0;
    }
    Redraw();
    return 255;
}

void Command::SetVisible(std::uint8_t visible) {
    visibleFlag_ = visible != 0 ? 1 : 0;
    setVisible(visibleFlag_ != 0);
    if (visibleFlag_ != 0) {
        Redraw();
    }
    emit PropertyChanged(QStringLiteral("Visible"));
}

void Command::Initialize() {
    machine_.Initialize();
    TmrMouse.start(HoverInterval);
}

void Command::ReadProperties(const PropertyStore& store) {
    machine_.SetEnabled(store.ReadProperty(QStringLiteral("Enabled"), true).toBool());
    caption_ = store.ReadProperty(QStringLiteral("Caption"), QStringLiteral("Command")).toString();
    FirstRun = store.ReadProperty(QStringLiteral("FirstRun"), 1).toUInt() != 0 ? 1 : 0;
    setFont(store.ReadProperty(QStringLiteral("Font"), QVariant::fromValue(AmbientFont()))
                .value<QFont>());
    captionColour_ = FromBgr(store.ReadProperty(QStringLiteral("FontColour"), 0).toUInt());
    visibleFlag_ = store.ReadProperty(QStringLiteral("Visible"), 1).toInt() != 0 ? 1 : 0;

    ApplyEnabled();
    if (visibleFlag_ == 0) {
        hide();
    } else if (testAttribute(Qt::WA_WState_ExplicitShowHide) && isHidden()) {
        show();  // only undoes an earlier hide; a child shows with its window
    }
    Redraw();
}

void Command::WriteProperties(PropertyStore& store) {
    // Enabled is read through the property, so a saved button always loads with FirstRun 1.
    store.WriteProperty(QStringLiteral("Enabled"), Enabled(), true);
    store.WriteProperty(QStringLiteral("Caption"), caption_, QStringLiteral("Command"));
    store.WriteProperty(QStringLiteral("FirstRun"), int(FirstRun), QStringLiteral("1"));
    store.WriteProperty(QStringLiteral("Font"), QVariant::fromValue(font()),
                        QVariant::fromValue(AmbientFont()));
    store.WriteProperty(QStringLiteral("FontColour"), ToBgr(captionColour_), QStringLiteral("0"));
    store.WriteProperty(QStringLiteral("Visible"), int(visibleFlag_), QStringLiteral("1"));
    Redraw();
}

void Command::SetPointerProbe(PointerProbe probe) {
    probePointer_ = std::move(probe);
}

void Command::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.drawImage(0, 0, surface_);
}

void Command::resizeEvent(QResizeEvent* /*event*/) {
    Redraw();
}

void Command::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        Redraw();  // the caption is drawn into the surface
    } else if (event->type() == QEvent::EnabledChange) {
        // A direct QWidget::setEnabled; a parent's change alone leaves WA_Disabled alone.
        const bool enabled = !testAttribute(Qt::WA_Disabled);
        if (enabled != machine_.IsEnabled()) {
            SetEnabled(enabled);
        }
    }
}

// Qt's button values are the host's codes: 1 left, 2 right, 4 middle.
void Command::mousePressEvent(QMouseEvent* event) {
    machine_.MouseDown(int(event->button()));
}

void Command::mouseReleaseEvent(QMouseEvent* event) {
    machine_.MouseUp(int(event->button()));
}

void Command::mouseMoveEvent(QMouseEvent* /*event*/) {
    machine_.MouseMove();
}

void Command::focusInEvent(QFocusEvent* /*event*/) {
    machine_.FocusGained();
}

void Command::focusOutEvent(QFocusEvent* /*event*/) {
    machine_.FocusLost();
}

void Command::Redraw() {
    machine_.Redraw();
}

void Command::PaintState(Picture picture, const Look& look) {
    captionColour_ = look.Enabled ? CaptionEnabled : CaptionDisabled;
    RegisterAccessKey(
        QChar(NextAccessKey(std::u16string_view(reinterpret_cast<const char16_t*>(caption_.utf16()),
                                                static_cast<std::size_t>(caption_.size())),
                            look.Enabled, accessKey_.unicode())));

    if (surface_.size() != size()) {
        surface_ = QImage(size(), QImage::Format_RGB32);
    }
    if (!surface_.isNull()) {
        QPainter painter(&surface_);
        painter.fillRect(surface_.rect(), palette().color(backgroundRole()));
        FillGradient(painter, look.GradientInverted);
        const QImage& source = CommandPicture(picture);
        for (const Slice& slice : FrameSlices(width(), height())) {
            if (!slice.Target.IsEmpty()) {  // a button under 8 pixels has no room for edges
                painter.drawImage(Rect(slice.Target), source, Rect(slice.Source));
            }
        }
        DrawCaption(painter, caption_);
        if (look.FocusLines) {
            DrawFocusLines(painter);
        }
    }
    update();
}

void Command::RaiseClick() {
    emit Click();
}

void Command::FillGradient(QPainter& painter, bool inverted) const {
    // From vertex 0 at (0, 0) to vertex 1 at the far corner, which the fill leaves out.
    const int right = width() - 1;
    const int bottom = height() - 1;
    QLinearGradient gradient(0, 0, 0, bottom);
    gradient.setColorAt(0, inverted ? FaceLavender : FaceWhite);
    gradient.setColorAt(1, inverted ? FaceWhite : FaceLavender);
    painter.fillRect(QRect(0, 0, right, bottom), gradient);
}

void Command::DrawCaption(QPainter& painter, const QString& text) const {
    constexpr int flags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap | Qt::TextShowMnemonic;
    const int textWidth = width() - 2 * CaptionMargin;
    painter.setFont(font());
    painter.setPen(captionColour_);
    const int textHeight =
        painter.boundingRect(QRect(CaptionMargin, 0, textWidth, height()), flags, text).height();
    const int top = CaptionTop(height(), textHeight);
    painter.drawText(QRect(CaptionMargin, top, textWidth, height() - top), flags, text);
}

void Command::DrawFocusLines(QPainter& painter) const {
    std::vector<QPoint> dots;
    for (const PixelPoint dot : FocusDots(width(), height())) {
        dots.emplace_back(dot.X, dot.Y);
    }
    if (!painter.paintEngine()->hasFeature(QPaintEngine::RasterOpModes)) {
        return;  // the surface is an image, whose engine always has them
    }
    // White XORed into a pixel inverts it; drawn again, it would restore it.
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.setPen(QPen(FaceWhite, 1));
    painter.drawPoints(dots.data(), int(dots.size()));
}

void Command::RegisterAccessKey(QChar key) {
    if (key == accessKey_) {
        return;
    }
    accessKey_ = key;
    if (key.isNull()) {
        accessKeyShortcut_.setKey(QKeySequence());
    } else {
        accessKeyShortcut_.setKey(
            QKeySequence(QKeyCombination(Qt::AltModifier, Qt::Key(key.toUpper().unicode()))));
    }
}

void Command::AccessKeyPressed() {
    if (!machine_.IsEnabled()) {
        return;
    }
    // The button takes the focus first, so that its focus look is the one the key leaves.
    setFocus(Qt::ShortcutFocusReason);
    machine_.AccessKey();
}

void Command::TmrMouse_Timer() {
    // The window system finds no disabled window under the pointer, only what lies beneath it;
    // Qt's lookup finds disabled widgets too, which would keep a disabled button's look.
    const QWidget* under = probePointer_ ? probePointer_() : nullptr;
    machine_.TimerTick(under == this && isEnabled());
}

void Command::ApplyEnabled() {
    QWidget::setEnabled(machine_.IsEnabled());
}

QFont Command::AmbientFont() const {
    return parentWidget() != nullptr ? parentWidget()->font() : QApplication::font();
}

}  // namespace quarnel
