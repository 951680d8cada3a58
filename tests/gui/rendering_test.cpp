// The window as drawn: grabbed in each engine state, kept as PNG files under the
// build folder for people to look at, and the QR code in the grab itself decoded
// by zbarimg.
#include <QDir>
#include <QPainter>

#include "content_view.h"
#include "main_window.h"
#include "qr_card.h"
#include "theme.h"
#include "ui_fixture.h"

namespace {

using namespace uitest;

std::string artefactDir() {
    const std::string dir = testsupport::buildDir() + "/test-artefacts/ui";
    QDir().mkpath(QString::fromStdString(dir));
    return dir;
}

// What zbarimg reads from an image file: the decoded texts, one per line.
std::string decode(const std::string& png) {
    const CommandResult r = run("zbarimg --nodbus --raw -q " + shellQuote(png));
    EXPECT_EQ(r.status, 0) << r.err;
    std::string out = r.out;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

struct Scenario {
    const char* name;
    const char* standIn;  // null: no engine among the resources
    void (*act)(EngineController&);
    EngineState::Kind expected;
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

class RenderingTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(RenderingTest, TheGrabbedWindowShowsTheDesignAndItsCodeDecodesToThePairingUrl) {
    const Scenario& s = GetParam();
    StandInEngine standIn;
    LogCapture log;
    if (s.standIn) standIn.write(s.standIn);
    EngineController engine(standIn.options(60s));
    MainWindow window(engine);
    window.open();
    if (s.act) s.act(engine);
    ASSERT_TRUE(waitUntil([&] { return engine.state().kind() == s.expected; }));
    ContentView& content = *window.content();

    const QImage shot = render(window);
    ASSERT_EQ(shot.size(), window.size());
    const std::string png = artefactDir() + "/tarnwell-window-" + s.name + ".png";
    ASSERT_TRUE(shot.save(QString::fromStdString(png)));
    RecordProperty("screenshot", png);

    // The QR card, found where the window drew it: white inside, dark around.
    auto* card = child<QrCard>(content, "qrCard");
    const QRect cardRect(card->mapTo(&window, card->cardRect().topLeft()), card->cardRect().size());
    EXPECT_TRUE(near(shot.pixelColor(cardRect.center().x(), cardRect.top() + 8), Theme::cardWhite()));
    EXPECT_TRUE(near(shot.pixelColor(cardRect.left() + 20, cardRect.bottom() - 8), Theme::cardWhite()));
    EXPECT_TRUE(near(shot.pixelColor(cardRect.left() - 30, cardRect.center().y()), Theme::background()));
    EXPECT_TRUE(near(shot.pixelColor(3, 3), Theme::background()));
    EXPECT_TRUE(near(shot.pixelColor(shot.width() - 3, shot.height() - 3), Theme::background()));

    EXPECT_EQ(decode(png), content.pairingURL().toStdString());
    const std::string cardPng = artefactDir() + "/tarnwell-qr-card-" + s.name + ".png";
    ASSERT_TRUE(shot.copy(cardRect).save(QString::fromStdString(cardPng)));
    EXPECT_EQ(decode(cardPng), content.pairingURL().toStdString());
}

INSTANTIATE_TEST_SUITE_P(
    EngineStates, RenderingTest,
    ::testing::Values(Scenario{"running", kRunUntilTerm, nullptr, EngineState::Kind::Running},
                      Scenario{"stopped", kRunUntilTerm, [](EngineController& e) { e.stop(); },
                               EngineState::Kind::Stopped},
                      Scenario{"failed", kFailAtStart, nullptr, EngineState::Kind::Failed},
                      Scenario{"missing", nullptr, nullptr, EngineState::Kind::Missing}),
    [](const ::testing::TestParamInfo<Scenario>& p) { return std::string(p.param.name); });

// A URL that no QR code can hold: the card says so in the same space.
TEST(QrCardTest, ATextTooLongForACodeShowsTheErrorInsteadOfACode) {
    QrCard card;
    card.resize(card.sizeHint());
    card.setURL(QString(8000, QLatin1Char('x')));
    const QImage image = render(card);
    EXPECT_FALSE(card.hasCode());
    EXPECT_EQ(card.codeRenders(), 1);
    const QRect r = card.cardRect();
    int danger = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (near(image.pixelColor(x, y), Theme::danger(), 40)) ++danger;
    EXPECT_GT(danger, 20);  // the red text is drawn on the white card

    card.setURL(QStringLiteral("sonvale://connect?host=10.0.0.2&port=47810&name=x&pin=0042"));
    render(card);
    EXPECT_TRUE(card.hasCode());
    EXPECT_EQ(card.codeRenders(), 2);
    card.update();
    render(card);
    EXPECT_EQ(card.codeRenders(), 2);  // repaints reuse the image
}

}  // namespace
