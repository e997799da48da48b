#include "controls/CommandStateMachine.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "controls/AccessKey.h"

namespace quarnel {
namespace {

// Feeds a machine events and records what it asks of its widget as letters: N H P S X D for the
// pictures Normal, HighLight, Pressed, Selected, HighLightSelect, Disable, and ! for Click. Every
// paint is checked for the focus lines and the enabled look its state calls for.
struct Recorder : CommandView {
    CommandStateMachine Machine{*this};
    std::string Trace;

    void PaintState(Picture picture, const Look& look) override {
        Trace += "NHPSXD"[int(picture)];
        const ButtonState s = Machine.CurrentState();
        EXPECT_EQ(look.FocusLines, s == StateSelected || s == StateHighLightSelect) << Trace;
        EXPECT_EQ(look.Enabled, s != StateDisabled) << Trace;
    }
    void RaiseClick() override { Trace += '!'; }

    // Events as letters: m move, d/u left button down/up, r/R right button down/up, f/o focus
    // gained/lost, k access key, t/T tick with the pointer away/over the button, i Initialize,
    // x/y the Enabled flag alone false/true, e Redraw (writing Enabled runs it: "xe", "ye");
    // | forgets what was recorded so far.
    void Send(const std::string& events) {
        CommandStateMachine& m = Machine;
        for (const char event : events) {
            switch (event) {
                // clang-format off
                case 'm': m.MouseMove(); break;            case 'f': m.FocusGained(); break;
                case 'd': m.MouseDown(LeftButton); break;  case 'u': m.MouseUp(LeftButton); break;
                case 'r': m.MouseDown(2); break;           case 'R': m.MouseUp(2); break;
                case 'o': m.FocusLost(); break;            case 'k': m.AccessKey(); break;
                case 't': m.TimerTick(false); break;       case 'T': m.TimerTick(true); break;
                case 'i': m.Initialize(); break;           case 'e': m.Redraw(); break;
                case 'x': m.SetEnabled(false); break;      case 'y': m.SetEnabled(true); break;
                case '|': Trace.clear(); break;            default: FAIL() << "no event " << event;
                    // clang-format on
            }
        }
    }
};

TEST(CommandStateMachine, TransitionsPicturesAndClicks) {
    // From an idle, enabled button: the events (those before | bring it to the row's state), the
    // State after them, and what was painted and raised after the |.
    const struct {
        const char* events;
        int state;
        const char* trace;
    } rows[] = {
        {.events = "f|m", .state = 4, .trace = "X"},
        {.events = "fd|m", .state = 3, .trace = ""},
        {.events = "m|r", .state = 2, .trace = ""},
        {.events = "|o", .state = 1, .trace = ""},
        // Any release clicks unless the state is 3; the left one repaints in 2 and 4.
        {.events = "d|u", .state = 1, .trace = "!"},
        {.events = "md|u", .state = 2, .trace = "N!"},
        {.events = "m|R", .state = 2, .trace = "!"},
        {.events = "|f", .state = 3, .trace = "S"},
        {.events = "m|t", .state = 1, .trace = "N"},
        {.events = "fm|T", .state = 4, .trace = ""},
        // The access key is hover, focus and a left release in one. A click on an unfocused
        // button, Qt giving the focus before the press; then the pointer leaves and another
        // button takes the focus. Held past a tick off the button: moves do not bring hover
        // back, no click.
        {.events = "|k", .state = 4, .trace = "PX!"},
        {.events = "|mfduto", .state = 1, .trace = "HPPX!SN"},
        {.events = "fm|dtmu", .state = 3, .trace = "PS"},
        // A disabled button ignores everything but the tick. Redraw keeps hover and focus, and
        // leaves the disabled state.
        {.events = "fmx|mdurRfokT", .state = 4, .trace = ""},
        {.events = "fmx|t", .state = 0, .trace = "D"},
        {.events = "fm|e", .state = 4, .trace = "N"},
        {.events = "m|xe", .state = 0, .trace = "D"},
        {.events = "xe|ye", .state = 1, .trace = "N"},
    };
    for (const auto& [events, state, trace] : rows) {
        SCOPED_TRACE(events);
        Recorder view;
        view.Send(std::string("yei|") + events);
        EXPECT_EQ(int(view.Machine.CurrentState()), state);
        EXPECT_EQ(view.Trace, trace);
    }
}

// No marker keeps the key, a final one clears it, and only the first counts ("&&" is no escape).
// The plain case and a disabled button show through the widget.
TEST(CommandRules, AccessKey) {
    EXPECT_EQ(NextAccessKey(u"Add", true, u'A'), u'A');
    EXPECT_EQ(NextAccessKey(u"Add&", true, u'A'), 0);
    EXPECT_EQ(NextAccessKey(u"&&Both", true, 0), u'&');
    EXPECT_EQ(NextAccessKey(u"L\u00f6&schen", true, 0), u's');
}

}  // namespace
}  // namespace quarnel
