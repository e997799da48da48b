#include <algorithm>

#include "engine/Settings.h"
#include "tests/engine/TestEngine.h"
#include "window/AppIdentity.h"
#include "window/ConnectionActions.h"
#include "window/ConnectionView.h"
#include "window/ListEditing.h"

namespace quarnel::testing {
namespace {

// The window's logic over the engine, as a front end drives it: it answers questions with
// Answer and records what it was told.
class WindowLogic : public EngineTest, public Messages {
protected:
    WindowLogic() {
        store.Values = {{AllowedIPKey, "127.0.0.1"}, {BlockedLocalPortsKey, "445,445,139"}};
        hosts.Result.Addresses = {Ip("192.0.2.5"), Ip("127.0.0.1")};
        oManager.LoadSettings();
        oManager.RefreshLocalIPList();
    }
    void Show(const std::string& text) override { Said.push_back(text); }
    bool Confirm(const std::string& text) override { return Said.push_back(text), Answer; }

    Texts Said;
    bool Answer = true;
};

// What is typed goes through the checks of the view shown: refused with a message, stored in its
// plain form, or nothing at all. What is accepted is saved, a duplicate too.
TEST_F(WindowLogic, AnEntryIsCheckedByTheViewShownAndStoredPlainlyOnce) {
    const char* bits = "This prefix has bits set past its length; the network is 10.20.0.0/16.";
    const struct {
        ViewMode view;
        const char *typed, *message, *stored;  // stored: the list's text after it; none unsaved
    } cases[] = {
        {ModeAllowedIP, "1.2.x.256", InvalidIPText, nullptr},
        {ModeAllowedIP, "1.2.3", InvalidIPText, nullptr},
        {ModeAllowedIP, "   ", nullptr, nullptr},
        {ModeAllowedIP, " 010.0.0.1 ", nullptr, "127.0.0.1,10.0.0.1"},
        {ModeAllowedIP, "::ffff:10.0.0.1", nullptr, "127.0.0.1,10.0.0.1"},
        {ModeAllowedIP, "10.20.1.2/16", bits, nullptr},
        // An address reads the same alone and before a prefix length.
        {ModeAllowedIP, "010.0.0.0/8", nullptr, "127.0.0.1,10.0.0.1,10.0.0.0/8"},
        {ModeAllowedIP, "+10.0.0.0/8", nullptr, "127.0.0.1,10.0.0.1,10.0.0.0/8"},
        {ModeAllowedIP, "010.020.1.2/16", bits, nullptr},
        {ModeAllowedIP, "010.0.0.0/33", InvalidIPText, nullptr},
        {ModeAllowedIP, "2001:DB8::7", nullptr, "127.0.0.1,10.0.0.1,10.0.0.0/8,2001:db8::7"},
        {ModeBlockedRemotePorts, "0", InvalidPortText, nullptr},
        {ModeBlockedRemotePorts, "65536", InvalidPortText, nullptr},
        {ModeBlockedRemotePorts, "x", InvalidPortText, nullptr},
        {ModeBlockedRemotePorts, "6000-6000", nullptr, "6000"},
        {ModeBlockedLocalPorts, "80.5", nullptr, "445,445,139,80"},
        {ModeBlockedLocalPorts, "139", nullptr, "445,445,139,80"},
        {ModeLocalIP, "10.0.0.9", nullptr, nullptr},
        {ModeCurrentConnections, "22", nullptr, nullptr},
    };
    const std::map<ViewMode, const char*> keys = {{ModeAllowedIP, AllowedIPKey},
                                                  {ModeBlockedLocalPorts, BlockedLocalPortsKey},
                                                  {ModeBlockedRemotePorts, BlockedRemotePortsKey}};
    for (const auto& [view, typed, message, stored] : cases) {
        SCOPED_TRACE(typed);
        oManager.SetCurrentMode(view);
        Said.clear();
        store.Values.clear();
        AddToCurrentList(oManager, typed, *this);
        EXPECT_EQ(Said, message ? Texts{message} : Texts{});
        if (stored) {
            EXPECT_EQ(store.Values[keys.at(view)], stored);
            EXPECT_EQ(window.Lines, ItemTexts(*oManager.CurrentList));  // shown again
        } else {
            EXPECT_TRUE(store.Values.empty());
        }
    }
}

TEST_F(WindowLogic, DeleteTakesTheFirstMatchWhateverItsCaseAndNothingWithoutASelection) {
    store.Values[AllowedIPKey] = "2001:db8::7,10.0.0.1,2001:db8::7";
    oManager.LoadSettings();
    oManager.SetCurrentMode(ModeAllowedIP);
    store.Values.clear();
    DeleteSelectedItem(oManager, "");
    EXPECT_TRUE(store.Values.empty());
    DeleteSelectedItem(oManager, "2001:DB8::7");
    EXPECT_EQ(store.Values[AllowedIPKey], "10.0.0.1,2001:db8::7");
    EXPECT_EQ(window.Lines, (Texts{"10.0.0.1", "2001:db8::7"}));
    DeleteSelectedItem(oManager, "192.0.2.99");  // gone meanwhile: saved and shown all the same
    EXPECT_EQ(window.Lines, (Texts{"10.0.0.1", "2001:db8::7"}));
}

// A list box that records what the refresh did to it.
struct RecordedListBox : ConnectionListBox {
    std::int32_t LineCount() const override { return std::int32_t(Shown->size()); }
    void ReplaceLine(std::int32_t index, const std::string& text) override {
        (*Shown)[index] = text;
        ++Replaced;
    }
    void AppendLine(const std::string& text) override { Shown->push_back(text), ++Appended; }
    void RemoveLinesFrom(std::int32_t index) override { Shown->resize(index); }

    Texts* Shown;
    int Replaced = 0, Appended = 0;
};

TEST_F(WindowLogic, TheConnectionViewChangesOnlyTheLinesThatDifferFromThoseShown) {
    oManager.SetCurrentMode(ModeCurrentConnections);
    RecordedListBox box;
    box.Shown = &window.Lines;
    table.Connections = {Established(50000, "198.51.100.7", 443, 1),
                         Established(50001, "198.51.100.8", 80, 2),
                         Established(50002, "198.51.100.9", 22, 3)};
    Pass();
    RefreshShownConnections(oManager, box);
    const Texts all = window.Lines;
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(box.Appended, 3);
    EXPECT_EQ(ItemTexts(oManager.oCurrentConnectionsCached), all);

    box.Appended = 0;
    RefreshShownConnections(oManager, box);  // nothing changed: nothing touched
    EXPECT_EQ(box.Appended + box.Replaced, 0);
    table.Connections[1] = Established(50011, "198.51.100.8", 80, 4);
    Pass();
    RefreshShownConnections(oManager, box);
    EXPECT_EQ(box.Replaced, 1);
    EXPECT_EQ(window.Lines, (Texts{all[0], "50011 <--> 198.51.100.8:80 ESTABLISHED", all[2]}));

    table.Connections.resize(1);
    table.Connections.push_back(Established(50003, "198.51.100.1", 25, 5));
    table.Connections.push_back(Established(50004, "198.51.100.2", 25, 6));
    table.Connections.push_back(Established(50005, "198.51.100.3", 25, 7));
    Pass();
    RefreshShownConnections(oManager, box);
    EXPECT_EQ(window.Lines, Lines());
    EXPECT_EQ(box.Appended, 1);
    table.Connections.resize(2);
    Pass();
    RefreshShownConnections(oManager, box);
    EXPECT_EQ(window.Lines, Lines());
    EXPECT_EQ(ItemTexts(oManager.oCurrentConnectionsCached), Lines());

    // A list box that shows something else than the copy (another view was shown meanwhile) is
    // filled afresh.
    window.Lines = {"127.0.0.1"};
    box.Replaced = box.Appended = 0;
    RefreshShownConnections(oManager, box);
    EXPECT_EQ(window.Lines, Lines());
    EXPECT_EQ(box.Appended + box.Replaced, 0);
}

TEST(OwnerToolTip, NamesTheProgramProcessAndUserAsFarAsTheyAreKnown) {
    platform::ConnectionOwner curl{.Pid = 812, .Uid = 1000, .Command = {'c', 'u', 'r', 'l'}};
    const UserNameOf names = [](std::uint32_t uid) { return uid == 1000 ? "alice" : ""; };
    EXPECT_EQ(OwnerToolTip(curl, names), "Program: curl\nProcess ID: 812\nUser: alice");
    EXPECT_EQ(OwnerToolTip(curl, {}), "Program: curl\nProcess ID: 812\nUser: 1000");
    curl.Uid = 7;  // a system that names no user of it
    EXPECT_EQ(OwnerToolTip(curl, names), "Program: curl\nProcess ID: 812");
    EXPECT_EQ(OwnerToolTip(platform::ConnectionOwner{}, names), "Program: unknown");
    EXPECT_EQ(OwnerToolTip(std::nullopt, names), "");  // no connection line there
}

TEST(WindowTitle, NamesTheProductAndItsVersionAsTheDesktopShowsIt) {
    EXPECT_EQ(BuildAppTitle(), "Virel Quarnel v.1.2   (build 38)");
    EXPECT_EQ(LoadCaption({"Product", 10, 0, 7}), "Product v10.0 Build 7");
}

// A block from a connection line asks first with what it closes at once (a listener and an
// allowed connection are not counted), then blocks the port alone, is saved and closes at the
// next pass; a listener offers no close and nothing of a remote end.
TEST_F(WindowLogic, ABlockFromALineTellsWhatItClosesThenSavesAndCloses) {
    table.Connections = {Established(8080, "198.51.100.7", 50000, 1),
                         Established(8080, "198.51.100.8", 50001, 2),
                         Established(8080, "127.0.0.1", 50002, 3),
                         Row(platform::TcpState::Listening, "0.0.0.0", 8080, "0.0.0.0", 0, 4)};
    Pass();
    const ConnectionChoices listener = ChoicesFor(table.Connections[3]);
    EXPECT_EQ(listener.BlockLocalPort, "Block local port 8080");
    EXPECT_TRUE(listener.CloseNow.empty() && listener.BlockRemotePort.empty() &&
                listener.AllowRemoteAddress.empty());
    EXPECT_TRUE(BlockPortOf(oManager, table.Connections[0], true, *this));
    EXPECT_EQ(Said, Texts{"Block local port 8080? It closes 2 open connections at once, this one "
                          "included."});
    EXPECT_EQ(store.Values[BlockedLocalPortsKey], "445,445,139,8080");
    Pass();
    EXPECT_EQ(table.Connections.size(), 2u);  // the allowed loopback one and the listener stay
}

}  // namespace
}  // namespace quarnel::testing
