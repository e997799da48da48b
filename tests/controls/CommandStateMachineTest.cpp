#include "controls/CommandStateMachine.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

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
void Send(CommandStateMachine& m, char event) {
    using Action = void (*)(CommandStateMachine&);
    static const std::map<char, Action> actions = {
        {'m', [](CommandStateMachine& m) { m.MouseMove(); }},
        {'d', [](CommandStateMachine& m) { m.MouseDown(LeftButton); }},
        {'u', [](CommandStateMachine& m) { m.MouseUp(LeftButton); }},
        {'r', [](CommandStateMachine& m) { m.MouseDown(2); }},
        {'R', [](CommandStateMachine& m) { m.MouseUp(2); }},
        {'f', [](CommandStateMachine& m) { m.FocusGained(); }},
        {'o', [](CommandStateMachine& m) { m.FocusLost(); }},
        {'k', [](CommandStateMachine& m) { m.AccessKey(); }},
        {'t', [](CommandStateMachine& m) { m.TimerTick(false); }},
        {'T', [](CommandStateMachine& m) { m.TimerTick(true); }},
        {'i', [](CommandStateMachine& m) { m.Initialize(); }},
        {'x', [](CommandStateMachine& m) { m.SetEnabled(false); }},
        {'X', [](CommandStateMachine& m) { m.SetEnabled(false), m.Redraw(); }},
        {'E', [](CommandStateMachine& m) { m.SetEnabled(true), m.Redraw(); }},
        {'e', [](CommandStateMachine& m) { m.Redraw(); }},
    };
    actions.at(event)(m);
}

TEST(CommandStateMachine, TransitionsPicturesAndClicks) {
    struct Row {
        const char* setup;   // events that bring an idle, enabled button to the row's state
        const char* events;  // the events under test
        int state;           // State after them
        const char* trace;   // what they painted and raised
    };
    // clang-format off
    const Row rows[] = {
        {"",    "m", 2, "H"},   {"m", "m", 2, ""},  {"f", "m", 4, "X"},  {"fd", "m", 3, ""},
        {"fm",  "m", 4, ""},
        // Pressing repaints, for the left button only; the state stays.
        {"",    "d", 1, "P"},   {"m", "d", 2, "P"}, {"f", "d", 3, "P"},  {"fm", "d", 4, "P"},
        {"m",   "r", 2, ""},
        // Any release clicks unless the state is 3; the left one repaints in 2 and 4.
        {"d",   "u", 1, "!"},   {"md", "u", 2, "N!"}, {"fd", "u", 3, ""}, {"fmd", "u", 4, "X!"},
        {"m",   "R", 2, "!"},   {"f", "R", 3, ""},  {"fmd", "R", 4, "!"},
        {"",    "f", 3, "S"},   {"m", "f", 4, "P"}, {"f", "f", 3, "S"},  {"fm", "f", 3, "S"},
        {"",    "o", 1, ""},    {"m", "o", 1, "N"}, {"f", "o", 1, "N"},  {"fm", "o", 1, "N"},
        // The access key is hover, focus and a left release in one, from any state.
        {"",    "k", 4, "PX!"}, {"m", "k", 4, "PX!"}, {"f", "k", 4, "PX!"}, {"fmd", "k", 4, "PX!"},
        {"",    "t", 1, ""},    {"m", "t", 1, "N"}, {"f", "t", 3, ""},   {"fm", "t", 3, "S"},
        {"m",   "T", 2, ""},    {"fm", "T", 4, ""},
        // A click on an unfocused button, Qt giving the focus before the press; then the
        // pointer leaves and another button takes the focus.
        {"",    "mfduto", 1, "HPPX!SN"},
        // Held past a tick off the button: moves do not bring hover back, no click.
        {"fm",  "dtmu", 3, "PS"},
        {"fm",  "du", 4, "PX!"},
        // A disabled button ignores everything but the tick.
        {"fm",  "xmdurRfokT", 4, ""},
        {"fm",  "xt", 0, "D"},  {"X", "t", 0, ""},
        {"X",   "i", 1, ""},    {"X", "it", 0, "D"},
        // Redraw keeps hover and focus, and leaves the disabled state.
        {"m",   "e", 2, "N"},   {"fm", "e", 4, "N"},  {"m", "X", 0, "D"}, {"X", "E", 1, "N"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "after \"" << row.setup << "\": " << row.events);
        Recorder view;
        CommandStateMachine machine(view);
        view.Machine = &machine;
        for (char e : std::string("Ei") + row.setup) {
            Send(machine, e);
        }
        view.Trace.clear();
        for (const char* e = row.events; *e != '\0'; ++e) {
            Send(machine, *e);
        }
        EXPECT_EQ(int(machine.CurrentState()), row.state);
        EXPECT_EQ(view.Trace, row.trace);
    }
}

}  // namespace
}  // namespace quarnel
