#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Protocol.h"

namespace kf::fw {
namespace {

// One completed event, copied out of the parser's buffer.
struct Seen {
    Event::Kind kind;
    Fault fault;
    int command;
    int value;
    std::string field;
    unsigned fullLength;

    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Seen& s) {
    return out << "{kind " << int(s.kind) << ", " << faultText(s.fault) << ", command " << s.command
               << ", value " << s.value << ", \"" << s.field << "\"}";
}

std::vector<Seen> feed(Parser& parser, std::string_view bytes) {
    std::vector<Seen> seen;
    for (char c : bytes) {
        Event e = parser.feed(static_cast<std::uint8_t>(c));
        EXPECT_LE(e.length, kFieldCapacity);
        if (e.kind != Event::None) {
            seen.push_back({e.kind, e.fault, e.command, e.value,
                            e.field ? std::string(e.field, e.length) : std::string(),
                            e.fullLength});
        }
    }
    return seen;
}

std::vector<Seen> feed(std::string_view bytes, ParserOptions options = {}) {
    Parser parser(options);
    return feed(parser, bytes);
}

Seen message(int command, int value, std::string field = "") {
    const auto length = static_cast<unsigned>(field.size());
    return {Event::Message, Fault::None, command, value, std::move(field), length};
}

// Only what decides what a board does: kind, command, value, text.
struct Gist {
    Event::Kind kind;
    int command;
    int value;
    std::string text;
    bool operator==(const Gist&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Gist& g) {
    return out << "{kind " << int(g.kind) << ", command " << g.command << ", value " << g.value
               << ", \"" << g.text << "\"}";
}

std::vector<Gist> messages(std::string_view bytes, ParserOptions options = {}) {
    std::vector<Gist> out;
    for (const Seen& s : feed(bytes, options)) {
        if (s.kind == Event::Message) {
            out.push_back({s.kind, s.command, s.value, s.command == kText ? s.field : ""});
        }
    }
    return out;
}

Gist pattern(int p) {
    return {Event::Message, kPattern, p, ""};
}
Gist peak(int k) {
    return {Event::Message, kPeak, k, ""};
}
Gist text(std::string t) {
    return {Event::Message, kText, 0, std::move(t)};
}
Gist identify() {
    return {Event::Message, kIdentify, 0, ""};
}

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ProtocolCatalogue, EveryMessageTheProgramSends) {
    EXPECT_THAT(messages("90/"), ElementsAre(identify()));
    EXPECT_THAT(messages("1/0/"), ElementsAre(pattern(0)));
    EXPECT_THAT(messages("1/7/"), ElementsAre(pattern(7)));
    EXPECT_THAT(messages("1/255/"), ElementsAre(pattern(255)));
    EXPECT_THAT(messages("4/0/"), ElementsAre(peak(0)));
    EXPECT_THAT(messages("4/128/"), ElementsAre(peak(128)));
    EXPECT_THAT(messages("9/LEFT/"), ElementsAre(text("LEFT")));
    EXPECT_THAT(messages("9/   RIGHT/"), ElementsAre(text("   RIGHT")));
    EXPECT_THAT(messages("9/-  OFF -/"), ElementsAre(text("-  OFF -")));
    EXPECT_THAT(messages("9/ in out /"), ElementsAre(text(" in out ")));
    EXPECT_THAT(messages("9//"), ElementsAre(text("")));
}

TEST(ProtocolCatalogue, BackToBackMessagesAndAWholeSession) {
    EXPECT_THAT(messages("1/7/4/2/"), ElementsAre(pattern(7), peak(2)));
    EXPECT_THAT(messages("1/255/4/255/"), ElementsAre(pattern(255), peak(255)));
    EXPECT_THAT(messages("(ZMD)90/9/   RIGHT/1/0/4/0/9/ in out /1/0/"),
                ElementsAre(identify(), text("   RIGHT"), pattern(0), peak(0), text(" in out "),
                            pattern(0)));
}

TEST(ProtocolCatalogue, AnEventCarriesTheArgumentAsReceived) {
    EXPECT_THAT(feed("1/42/"), ElementsAre(message(kPattern, 42, "42")));
    EXPECT_THAT(feed("9/abc/"), ElementsAre(message(kText, 0, "abc")));
}

TEST(ProtocolProbe, IsDroppedWhileTheBoardIsBeingLookedFor) {
    EXPECT_THAT(messages("(ZMD)90/"), ElementsAre(identify()));
    // Strict, with the probe dropped on its own: it is reported, and 90 follows.
    ParserOptions strict{.lenientCommand = false, .dropProbe = true};
    auto seen = feed("(ZMD)90/", strict);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, Event::Probe);
    EXPECT_EQ(seen[1], message(kIdentify, 0));
}

TEST(ProtocolProbe, StrictWithoutDroppingTheWholeFieldIsABadCode) {
    ParserOptions strict{.lenientCommand = false, .dropProbe = false};
    EXPECT_THAT(feed("(ZMD)90/", strict),
                ElementsAre(Seen{Event::Bad, Fault::NotDecimal, 0, 0, "(ZMD)90", 7}));
}

TEST(ProtocolProbe, LenientCommandTakesTheDigitsAfterTheLastNoise) {
    EXPECT_THAT(messages("xyz90/"), ElementsAre(identify()));
    EXPECT_THAT(messages(std::string(300, '#') + "1/3/"), ElementsAre(pattern(3)));
    EXPECT_THAT(messages("\r\n1/3/"), ElementsAre(pattern(3)));
}

struct Malformed {
    const char* name;
    std::string bytes;
    Fault fault;
    int command;  // 0: the command field was the bad one
};

void PrintTo(const Malformed& m, std::ostream* out) {
    *out << m.name;
}

class ProtocolMalformed : public ::testing::TestWithParam<Malformed> {};

// The same for the board's lenient parser and the simulator's strict one: the bad field is
// reported, nothing else is, and the message after it is read.
TEST_P(ProtocolMalformed, IsReportedAndTheNextMessageIsRead) {
    const Malformed& m = GetParam();
    for (bool lenient : {true, false}) {
        SCOPED_TRACE(lenient ? "lenient" : "strict");
        ParserOptions options{.lenientCommand = lenient, .dropProbe = true};
        auto seen = feed("1/9/" + m.bytes + "1/5/", options);
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0], message(kPattern, 9, "9"));
        EXPECT_EQ(seen[1].kind, Event::Bad);
        EXPECT_EQ(seen[1].fault, m.fault) << faultText(seen[1].fault);
        EXPECT_EQ(seen[1].command, m.command);
        EXPECT_EQ(seen[2], message(kPattern, 5, "5"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ProtocolMalformed,
    ::testing::Values(
        Malformed{"EmptyCode", "/", Fault::EmptyField, 0},
        Malformed{"UnknownCode", "7/", Fault::UnknownCommand, 0},
        Malformed{"UnknownCodeNear90", "91/", Fault::UnknownCommand, 0},
        Malformed{"CodeWithLeadingZero", "01/", Fault::LeadingZero, 0},
        Malformed{"CodeAbove255", "300/", Fault::AboveMax, 0},
        Malformed{"OverlongCode", std::string(40, '7') + "/", Fault::FieldTooLong, 0},
        Malformed{"PatternAbove255", "1/256/", Fault::AboveMax, kPattern},
        Malformed{"PatternFourDigits", "1/1000/", Fault::AboveMax, kPattern},
        Malformed{"PatternHuge", "1/99999999999999/", Fault::AboveMax, kPattern},
        Malformed{"PatternEmpty", "1//", Fault::EmptyField, kPattern},
        Malformed{"PatternLetter", "1/x/", Fault::NotDecimal, kPattern},
        Malformed{"PatternSign", "1/+7/", Fault::NotDecimal, kPattern},
        Malformed{"PatternBlank", "1/ 7/", Fault::NotDecimal, kPattern},
        Malformed{"PatternHighByte", "1/7\xff/", Fault::NotDecimal, kPattern},
        Malformed{"PeakLeadingZero", "4/07/", Fault::LeadingZero, kPeak},
        Malformed{"PeakDoubleZero", "4/00/", Fault::LeadingZero, kPeak},
        Malformed{"PeakOverlong", "4/" + std::string(1000, '1') + "/", Fault::FieldTooLong, kPeak},
        Malformed{"TextNineCharacters", "9/ABCDEFGHI/", Fault::TextTooLong, kText},
        Malformed{"TextOverlong", "9/" + std::string(500, 'A') + "/", Fault::FieldTooLong, kText},
        Malformed{"TextHighByte",
                  "9/L\xe9"
                  "FT/",
                  Fault::NotPrintable, kText},
        Malformed{"TextControl", "9/a\nb/", Fault::NotPrintable, kText}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProtocolMalformed, NonDigitCodeIsNoMessageForEitherParser) {
    // Lenient: the noise is dropped and the empty code reported; strict: the whole field.
    EXPECT_THAT(feed("x/"), ElementsAre(Seen{Event::Bad, Fault::EmptyField, 0, 0, "", 0}));
    ParserOptions strict{.lenientCommand = false, .dropProbe = true};
    EXPECT_THAT(feed("x/", strict), ElementsAre(Seen{Event::Bad, Fault::NotDecimal, 0, 0, "x", 1}));
    EXPECT_THAT(
        feed("-1/1/5/", strict),
        ElementsAre(Seen{Event::Bad, Fault::NotDecimal, 0, 0, "-1", 2}, message(kPattern, 5, "5")));
}

TEST(ProtocolMalformed, OverlongFieldKeepsOnlyItsStartAndCountsTheRest) {
    Parser parser;
    auto seen = feed(parser, "9/" + std::string(70000, 'Q') + "/");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].fault, Fault::FieldTooLong);
    EXPECT_EQ(seen[0].field, std::string(kFieldCapacity, 'Q'));
    EXPECT_EQ(seen[0].fullLength, 0xffffu);
    EXPECT_TRUE(parser.idle());
}

TEST(ProtocolMalformed, MissingSlashSpoilsOneMessageAndTheNextIsReadAgain) {
    // The lost "/" joins two fields; what that makes is misread, and the parser is back on
    // track by the message after.
    EXPECT_THAT(messages("1/7"
                         "9/LEFT/"
                         "1/2/"),
                ElementsAre(pattern(79), pattern(2)));
    EXPECT_THAT(messages("9/LEFT"
                         "1/2/"
                         "1/3/"),
                ElementsAre(text("LEFT1"), pattern(3)));
    EXPECT_THAT(messages("90"
                         "1/2/"
                         "1/3/"),
                ElementsAre(pattern(3)));
}

TEST(ProtocolState, PendingMessageAndReset) {
    Parser parser({.lenientCommand = false, .dropProbe = true});
    EXPECT_TRUE(parser.idle());
    feed(parser, "1/2");
    EXPECT_FALSE(parser.idle());
    EXPECT_EQ(parser.pendingCommand(), kPattern);
    EXPECT_EQ(std::string(parser.pendingField(), parser.pendingLength()), "2");
    parser.reset();
    EXPECT_TRUE(parser.idle());
    EXPECT_EQ(parser.pendingCommand(), 0);
    // After the reset "2/" is a command code again, not the rest of the pattern.
    EXPECT_THAT(feed(parser, "2/"),
                ElementsAre(Seen{Event::Bad, Fault::UnknownCommand, 0, 0, "2", 1}));
    feed(parser, "9/");
    EXPECT_FALSE(parser.idle()) << "a command waiting for its argument is a message begun";
}

TEST(ProtocolState, EveryByteValueWithoutSlashYieldsNoMessage) {
    Parser parser;
    std::string all;
    for (int round = 0; round < 4; ++round) {
        for (int b = 0; b < 256; ++b) {
            if (b != '/') {
                all += static_cast<char>(b);
            }
        }
    }
    EXPECT_THAT(feed(parser, all), IsEmpty());
    EXPECT_THAT(feed(parser, "/1/6/"), ::testing::Contains(message(kPattern, 6, "6")));
}

}  // namespace
}  // namespace kf::fw
