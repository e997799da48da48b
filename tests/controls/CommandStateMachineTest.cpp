#include "controls/CommandStateMachine.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>

#include "controls/AccessKey.h"

namespace quarnel {
namespace {

// Records what the machine asks of its widget as letters: N H P S X D for the pictures Normal,
// HighLight, Pressed, Selected, HighLightSelect, Disable, and ! for Click. Every paint is
// checked against the look its state calls for.
struct Recorder : CommandView {
    const CommandStateMachine* Machine = nullptr;
    std::string Trace;
    bool Inverted = false;

    void PaintState(Picture picture, const Look& look) override {
        Trace += "NHPSXD"[int(picture)];
        const ButtonState s = Machine->CurrentState();
        EXPECT_EQ(look.FocusLines, s == StateSelected || s == StateHighLightSelect) << Trace;
        EXPECT_EQ(look.Enabled, s != StateDisabled) << Trace;
        // Lavender on top under hover, white idle or focused; 0 and 4 keep the look before.
        const bool expected = s == StateHighLight                      ? true
                              : s == StateNormal || s == StateSelected ? false
                                                                       : Inverted;
        EXPECT_EQ(look.GradientInverted, expected) << Trace;
        Inverted = look.GradientInverted;
    }
    void RaiseClick() override { Trace += '!'; }
};

// Events as letters: m move, d/u left button down/up, r/R right button down/up, f/o focus
// gained/lost, k access key, t/T tick with the pointer away/over the button, i Initialize,
// x Enabled false (the flag alone), X and E Enabled false and true with the repaint that
// writing the property runs, e Redraw.
void Send(CommandStateMachine& m, std::string_view events) {
    for (const char event : events) {
        switch (event) {
            // clang-format off
            case 'm': m.MouseMove(); break;            case 'f': m.FocusGained(); break;
            case 'd': m.MouseDown(LeftButton); break;  case 'u': m.MouseUp(LeftButton); break;
            case 'r': m.MouseDown(2); break;           case 'R': m.MouseUp(2); break;
            case 'o': m.FocusLost(); break;            case 'k': m.AccessKey(); break;
            case 't': m.TimerTick(false); break;       case 'T': m.TimerTick(true); break;
            case 'i': m.Initialize(); break;           case 'e': m.Redraw(); break;
            case 'x': m.SetEnabled(false); break;
            case 'X': m.SetEnabled(false), m.Redraw(); break;
            case 'E': m.SetEnabled(true), m.Redraw(); break;
            default: FAIL() << "no event " << event;
                // clang-format on
        }
    }
}

TEST(CommandStateMachine, TransitionsPicturesAndClicks) {
    // Events that bring an idle, enabled button to the row's state; the events under test; the
    // State after them; what they painted and raised.
    // clang-format off
    const std::tuple<const char*, const char*, int, const char*> rows[] = {
        {"", "m", 2, "H"}, {"m", "m", 2, ""}, {"f", "m", 4, "X"}, {"fd", "m", 3, ""},
        // Pressing repaints, for the left button only; the state stays.
        {"fm", "d", 4, "P"}, {"m", "r", 2, ""},
        // Any release clicks unless the state is 3; the left one repaints in 2 and 4.
        {"d", "u", 1, "!"}, {"md", "u", 2, "N!"}, {"fd", "u", 3, ""}, {"fmd", "u", 4, "X!"},
        {"m", "R", 2, "!"}, {"f", "R", 3, ""}, {"", "f", 3, "S"}, {"m", "f", 4, "P"},
        {"fm", "f", 3, "S"}, {"", "o", 1, ""}, {"fm", "o", 1, "N"}, {"", "t", 1, ""},
        {"m", "t", 1, "N"}, {"fm", "t", 3, "S"}, {"fm", "T", 4, ""},
        // The access key is hover, focus and a left release in one, from any state. A click on
        // an unfocused button, Qt giving the focus before the press; then the pointer leaves
        // and another button takes the focus. Held past a tick off the button: moves do not
        // bring hover back, no click.
        {"", "k", 4, "PX!"}, {"f", "k", 4, "PX!"}, {"", "mfduto", 1, "HPPX!SN"},
        {"fm", "dtmu", 3, "PS"},
        // A disabled button ignores everything but the tick. Redraw keeps hover and focus, and
        // leaves the disabled state.
        {"fm", "xmdurRfokT", 4, ""}, {"fm", "xt", 0, "D"}, {"X", "t", 0, ""}, {"X", "it", 0, "D"},
        {"fm", "e", 4, "N"}, {"m", "X", 0, "D"}, {"X", "E", 1, "N"}};
    // clang-format on
    for (const auto& [setup, events, state, trace] : rows) {
        SCOPED_TRACE(testing::Message() << "after \"" << setup << "\": " << events);
        Recorder view;
        CommandStateMachine machine(view);
        view.Machine = &machine;
        Send(machine, std::string("Ei") + setup);
        view.Trace.clear();
        Send(machine, events);
        EXPECT_EQ(int(machine.CurrentState()), state);
        EXPECT_EQ(view.Trace, trace);
    }
}
// The plain case and a disabled button show through the widget.
TEST(CommandRules, AccessKey) {
    const QChar none, a('A');
    EXPECT_EQ(NextAccessKey("Add", true, a), a);  // no marker: the key stays
    EXPECT_EQ(NextAccessKey("Add&", true, a), none);
    EXPECT_EQ(NextAccessKey("&&Both", true, none), QChar('&'));
    EXPECT_EQ(NextAccessKey("Re&load &All", true, none), QChar('l'));
}

}  // namespace
}  // namespace quarnel
