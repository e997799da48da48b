#include "controls/CommandStateMachine.h"

namespace quarnel {

void CommandStateMachine::Redraw() {
    if (Enabled) {
        if (State == StateDisabled) {
            State = StateNormal;
        }
        Paint(Picture::Normal);
    } else {
        State = StateDisabled;
        Paint(Picture::Disable);
    }
}

void CommandStateMachine::Initialize() {
    State = StateNormal;
}

void CommandStateMachine::MouseMove() {
    if (!Enabled) {
        return;
    }
    // Each row sees the state the row before it left.
    if (State == StateNormal) {
        State = StateHighLight;
        Paint(Picture::HighLight);
    }
    if (State == StateSelected && !MouseIsDown) {
        State = StateHighLightSelect;
        Paint(Picture::HighLightSelect);
    }
}

void CommandStateMachine::MouseDown(int button) {
    if (!Enabled || button != LeftButton) {
        return;
    }
    MouseIsDown = true;
    Paint(Picture::Pressed);
}

void CommandStateMachine::MouseUp(int button) {
    if (!Enabled) {
        return;
    }
    if (button == LeftButton) {
        MouseIsDown = false;
        if (State == StateHighLight) {
            Paint(Picture::Normal);
        }
        if (State == StateHighLightSelect) {
            Paint(Picture::HighLightSelect);
        }
    }
    // Any button, wherever the pointer is; state 3 means the hover ended while the button was
    // held, which takes the press back.
    if (State != StateSelected) {
        view_.RaiseClick();
    }
}

void CommandStateMachine::FocusGained() {
    if (!Enabled) {
        return;
    }
    if (State != StateHighLight) {
        State = StateSelected;
        Paint(Picture::Selected);
    } else {
        State = StateHighLightSelect;
        Paint(Picture::Pressed);
    }
}

void CommandStateMachine::FocusLost() {
    if (!Enabled) {
        return;
    }
    if (State != StateNormal) {
        State = StateNormal;
        Paint(Picture::Normal);
    }
}

void CommandStateMachine::AccessKey() {
    if (!Enabled) {
        return;
    }
    // Acts as a hover, a focus and a left-button release in one.
    State = StateHighLight;
    FocusGained();
    MouseUp(LeftButton);
}

void CommandStateMachine::TimerTick(bool pointerOverButton) {
    if (!pointerOverButton) {
        EndHover();
    }
}

void CommandStateMachine::EndHover() {
    if (State != StateDisabled && !Enabled) {
        State = StateDisabled;
        Paint(Picture::Disable);
    }
    if (State == StateHighLight) {
        State = StateNormal;
        Paint(Picture::Normal);
    }
    if (State == StateHighLightSelect) {
        State = StateSelected;
        Paint(Picture::Selected);
    }
}

void CommandStateMachine::Paint(Picture picture) {
    if (!Enabled) {
        State = StateDisabled;
    }
    switch (State) {
        case StateNormal:
        case StateSelected:
            GradientInverted = false;
            break;
        case StateHighLight:
            GradientInverted = true;
            break;
        case StateDisabled:
        case StateHighLightSelect:
            break;  // keeps the direction of the previous look
    }
    const bool focused = State == StateSelected || State == StateHighLightSelect;
    view_.PaintState(picture, Look{Enabled, GradientInverted, focused});
}

}  // namespace quarnel
