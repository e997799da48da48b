#pragma once

#include <cstdint>
#include <functional>

#include <QChar>
#include <QColor>
#include <QImage>
#include <QShortcut>
#include <QString>
#include <QTimer>
#include <QWidget>

#include "controls/CommandStateMachine.h"
#include "controls/qt/PropertyStore.h"

class QPainter;

namespace quarnel {

// The push button of every window of the program: it paints itself from six state pictures
// over a white-to-lavender face, follows the pointer, the mouse buttons, the focus and its
// access key (Alt and the character after the first "&" of the caption), and raises Click when
// it is pressed.
//
// Enabled and Visible are the button's own properties and are carried to the widget: a disabled
// button is a disabled QWidget (no pointer, focus or keys reach it; only the hover timer runs)
// and a hidden one is hidden. Use SetEnabled and SetVisible rather than QWidget's setEnabled and
// setVisible; a direct QWidget::setEnabled is still taken over as a write of Enabled.
class Command : public QWidget, private CommandView {
    Q_OBJECT

public:
    // A button 105 x 28 pixels with the caption "Command" in Arial 9.75 pt, enabled and idle.
    explicit Command(QWidget* parent = nullptr);
    ~Command() override;

    QString Caption() const { return caption_; }
    // Stores the caption, reports "Caption" changed and repaints.
    void SetCaption(const QString& caption);

    // Whether the button reacts. Read first on a newly created button (before any stored
    // properties were loaded), it turns the button enabled without repainting.
    bool Enabled();
    // Stores the flag, reports "Enabled" changed and repaints.
    void SetEnabled(bool enabled);

    // 255 while the button is shown (and then repaints it), 0 while it is hidden.
    std::uint8_t Visible();
    // Non-zero shows the button and repaints it, 0 hides it; reports "Visible" changed.
    void SetVisible(std::uint8_t visible);

    // Makes the button idle without repainting and starts hover tracking: from then on, within
    // 100 ms of the pointer leaving the button its hover look ends.
    void Initialize();

    // Loads the saved design, keys in this order with their defaults: "Enabled" (true),
    // "Caption" ("Command"), "FirstRun" (1), "Font" (the parent's font), "FontColour" (0, as
    // 0x00BBGGRR; the repaint that ends the load sets the caption colour again), "Visible" (1).
    void ReadProperties(const PropertyStore& store);
    // Saves the same keys in the same order; values equal to their defaults are left out.
    void WriteProperties(PropertyStore& store);

    // The visual state, 0 to 4 (see ButtonState).
    ButtonState CurrentState() const { return machine_.CurrentState(); }

    // Finds the widget under the pointer for the hover timer; tests replace it.
    using PointerProbe = std::function<QWidget*()>;
    void SetPointerProbe(PointerProbe probe);

signals:
    // The button was pressed: a mouse button was released on it, or its access key was used.
    void Click();
    // A property was written ("Caption", "Enabled" or "Visible"); the saved design is stale.
    void PropertyChanged(const QString& name);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void Redraw();
    void PaintState(Picture picture, const Look& look) override;
    void RaiseClick() override;
    void FillGradient(QPainter& painter, bool inverted) const;
    void DrawCaption(QPainter& painter, const QString& text) const;
    void DrawFocusLines(QPainter& painter) const;
    void RegisterAccessKey(QChar key);
    void AccessKeyPressed();
    void TmrMouse_Timer();
    // Carries the Enabled flag to the widget.
    void ApplyEnabled();
    QFont AmbientFont() const;

    CommandStateMachine machine_{*this};
    QString caption_;
    std::uint8_t FirstRun = 0;
    std::int16_t visibleFlag_ = 1;
    QColor captionColour_{Qt::black};  // the colour of the last paint
    QChar accessKey_;
    QShortcut accessKeyShortcut_{this};
    QTimer TmrMouse{this};
    PointerProbe probePointer_;
    QImage surface_;  // what the last paint drew, shown by paintEvent
};

}  // namespace quarnel
