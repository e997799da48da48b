#pragma once

#include <cstdint>

namespace quarnel {

// The visual states of a Command button.
enum ButtonState : std::uint8_t {
    StateDisabled = 0,
    StateNormal = 1,
    StateHighLight = 2,       // the pointer is over the button
    StateSelected = 3,        // the button has the keyboard focus
    StateHighLightSelect = 4  // focus and pointer both
};

// The six state pictures a button frames itself with.
enum class Picture : std::uint8_t {
    Normal,
    HighLight,
    Pressed,
    Selected,
    HighLightSelect,
    Disable
};

// The mouse button code that the handlers test; any other code is some other button.
inline constexpr int LeftButton = 1;

// What a repaint needs to know besides the picture.
struct Look {
    bool Enabled;           // caption in black and access key live, else grey and none
    bool GradientInverted;  // lavender at the top of the face instead of white
    bool FocusLines;        // the dotted focus rectangle is shown
};

// What the state machine asks of the widget that hosts it.
class CommandView {
public:
    virtual ~CommandView() = default;
    // Repaints the whole button with picture; the machine has already set State and
    // GradientInverted for this repaint.
    virtual void PaintState(Picture picture, const Look& look) = 0;
    // Tells the host that the button was pressed.
    virtual void RaiseClick() = 0;
};

// The state machine of one button, without any window: the widget feeds it the host's events
// and it decides the state, the picture to paint and when Click is raised. Every handler except
// the timer tick does nothing while the button is disabled.
class CommandStateMachine {
public:
    explicit CommandStateMachine(CommandView& view) : view_(view) {}

    ButtonState CurrentState() const { return State; }
    bool IsMouseDown() const { return MouseIsDown; }
    bool IsGradientInverted() const { return GradientInverted; }
    bool IsEnabled() const { return Enabled; }
    // Stores the flag only; the widget runs Redraw when the property is written.
    void SetEnabled(bool enabled) { Enabled = enabled; }

    // Repaints in the look of the current state: Normal when enabled (a disabled state becomes
    // idle, hover and focus states are kept), Disable with state 0 when not.
    void Redraw();
    // Makes the button idle without repainting; hover tracking starts with it.
    void Initialize();

    void MouseMove();
    void MouseDown(int button);
    void MouseUp(int button);
    void FocusGained();
    void FocusLost();
    void AccessKey();
    // One tick of the hover timer; pointerOverButton tells whether the widget under the pointer
    // is the button itself.
    void TimerTick(bool pointerOverButton);

private:
    void EndHover();
    void Paint(Picture picture);

    CommandView& view_;
    ButtonState State = StateDisabled;
    bool MouseIsDown = false;
    bool GradientInverted = false;
    bool Enabled = false;
};

}  // namespace quarnel
