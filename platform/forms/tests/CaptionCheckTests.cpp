// The caption check: the test form as designed passes it, and each way a caption can fail to fit
// (wider than its control, out of its parent, run into by a neighbour) is named in its report.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FormsTesting.h"
#include "TestSupport.h"

namespace {

using CaptionCheck = FormsTest;

struct TCase {
    const char* Name;
    std::function<void(TTestMain*)> Change;
    // Each pair: the start of a problem line (whose caption) and a part of the same line.
    std::vector<std::pair<std::string, std::string>> Expected;
};

bool Reports(const std::vector<std::string>& problems, const std::string& who, const std::string& what) {
    for (const std::string& line : problems)
        if (line.rfind(who + ": ", 0) == 0 && line.find(what) != std::string::npos) return true;
    return false;
}

TEST_F(CaptionCheck, PassesTheDesignedFormAndNamesEachCaptionThatDoesNotFit) {
    const std::vector<TCase> cases = {
        {"as designed", [](TTestMain*) {}, {}},
        {"a wider text in an auto-sized label runs into the edit box beside it",
         [](TTestMain* f) { f->laServer->SetCaption("Server des Simulators:"); },
         {{"laServer", "overlaps edServer (x 56..153, y 16..37)"}}},
        {"a label of fixed width",
         [](TTestMain* f) { f->laState->SetCaption("nicht verbunden, bitte warten"); },
         {{"laState", "its control has room for 89 x 13"}}},
        {"a button", [](TTestMain* f) { f->btnConnect->SetCaption("&Verbindung herstellen"); },
         {{"btnConnect", "its control has room for"}}},
        {"a radio button", [](TTestMain* f) { f->rbSchwenk->SetCaption("Schwenkschiebetür mit Trittstufe"); },
         {{"rbSchwenk", "its control has room for"}}},
        {"a check box whose text reaches its neighbour",
         [](TTestMain* f) { f->cbSound->SetCaption("Sound an in allen Wagen"); },
         {{"cbSound", "its control has room for"}, {"cbSound", "overlaps rbDraussen"}}},
        {"a group box's title", [](TTestMain* f) { f->gbTuer->SetCaption("Türsound der Drehfalttüren und der Schwenkschiebetüren aller Wagen "); },
         {{"gbTuer (title)", "its control has room for 257 x"}}},
        {"a control moved into the title of its group box", [](TTestMain* f) { f->rbKeine->SetTop(2); },
         {{"gbTuer (title)", "overlaps rbKeine (x 8..137, y 2..19)"}}},
        {"a control moved onto a label", [](TTestMain* f) { f->edServer->SetLeft(36); },
         {{"laServer", "overlaps edServer (x 36..133, y 16..37)"}}},
        {"a label beyond the edge of its group box", [](TTestMain* f) { f->laPort->SetLeft(240); },
         {{"laPort", "runs out of gbTCP (x 0..257, y 0..73)"}}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTestMain* form = CreateTestMain();
        ASSERT_NE(form, nullptr);
        form->Show();
        Application->ProcessMessages();
        c.Change(form);
        const std::vector<std::string> problems = CaptionProblems(form);
        if (c.Expected.empty()) {
            EXPECT_TRUE(problems.empty()) << ProblemLines(problems);
        }
        for (const auto& [who, what] : c.Expected)
            EXPECT_TRUE(Reports(problems, who, what)) << who << ": ... " << what << ProblemLines(problems);
        Form->Free();
        Form = nullptr;
    }
}

}  // namespace
