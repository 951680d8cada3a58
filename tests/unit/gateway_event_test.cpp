// The gateway's event lines as the application reads them.
#include <gtest/gtest.h>

#include "gateway_event.h"

namespace {

using Kind = GatewayEvent::Kind;

GatewayEvent event(Kind kind, QString url = {}, QString detail = {}, QDateTime until = {},
                   GatewayEvent::Stats stats = {}) {
    return {kind, std::move(url), std::move(detail), std::move(until), {}, {}, stats};
}

TEST(GatewayEvent, EachEventWithItsFieldsAndNothingElse) {
    const QDateTime noon(QDate(2030, 1, 2), QTime(12, 34, 56), Qt::UTC);
    const struct {
        const char* line;
        std::optional<GatewayEvent> wanted;
    } rows[] = {
        {R"({"event":"ready","url":"https://10.0.0.2:47812/#pin=0042"})",
         event(Kind::Ready, QStringLiteral("https://10.0.0.2:47812/#pin=0042"))},
        {R"({"event":"ready","url":7})", std::nullopt},
        {R"({"event":"stream-started","more":true})", event(Kind::StreamStarted)},
        {R"({"event":"stream-stopped","detail":"no gap"})",
         event(Kind::StreamStopped, {}, QStringLiteral("no gap"))},
        {R"({"event":"pairing-paused","until":"2030-01-02T12:34:56Z"})",
         event(Kind::PairingPaused, {}, {}, noon)},
        {R"({"event":"pairing-paused","until":"2030-01-02T14:34:56+02:00"})",
         event(Kind::PairingPaused, {}, {}, noon)},
        {R"({"event":"pairing-paused","until":"soon"})", std::nullopt},
        {R"({"event":"pairing-resumed"})", event(Kind::PairingResumed)},
        {R"({"event":"phones","list":[{"id":"ab","name":"iPhone · Safari"}]})", event(Kind::Phones)},
        {R"({"event":"stats","chunks":250,"concealed":3,"dropped":1,"jitterMs":4.5,"depthMs":60,)"
         R"("roundTripMs":12.5,"perSecond":{"chunks":50,"concealed":1}})",
         event(Kind::Stats, {}, {}, {}, {{250, 3, 1}, {50, 1, 0}, 4.5, 60, 12.5})},
        {R"({"event":"stats","chunks":1,"concealed":0,"dropped":0})",
         event(Kind::Stats, {}, {}, {}, {{1, 0, 0}, {}, 0, 0, std::nullopt})},
        {R"({"event":"stats","chunks":"many","concealed":0,"dropped":0})", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        const std::optional<GatewayEvent> got = GatewayEvent::parse(QString::fromUtf8(row.line));
        ASSERT_EQ(got.has_value(), row.wanted.has_value());
        if (!got) continue;
        EXPECT_EQ(got->kind, row.wanted->kind);
        EXPECT_EQ(got->url, row.wanted->url);
        EXPECT_EQ(got->detail, row.wanted->detail);
        EXPECT_EQ(got->until, row.wanted->until);
        EXPECT_TRUE(got->stats == row.wanted->stats);
        if (got->until.isValid()) {
            EXPECT_EQ(got->until.timeSpec(), Qt::UTC);
        }
    }
}

}  // namespace
