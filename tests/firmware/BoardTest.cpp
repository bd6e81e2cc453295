#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "Board.h"
#include "Font.h"

namespace kf::fw {
namespace {

// Feeds bytes and returns everything the board answered.
std::string send(Board& board, std::string_view bytes) {
    std::string answer;
    for (char c : bytes) {
        char reply[kMaxReply];
        uint8_t n = board.receive(static_cast<std::uint8_t>(c), reply);
        EXPECT_LE(n, kMaxReply);
        answer.append(reply, n);
    }
    return answer;
}

std::array<uint8_t, kDisplayBytes> image(const Board& board) {
    std::array<uint8_t, kDisplayBytes> out{};
    board.displayImage(out.data());
    return out;
}

class BoardOfType : public ::testing::TestWithParam<BoardType> {};

TEST_P(BoardOfType, AnswersIdentifyWithItsCodeOnly) {
    Board board(GetParam());
    EXPECT_EQ(send(board, "(ZMD)"), "");
    EXPECT_EQ(send(board, "90/"), typeCode(GetParam()));
    EXPECT_EQ(send(board, "1/3/90/4/1/"), typeCode(GetParam()));
    EXPECT_EQ(send(board, "9/90/"), "") << "a text that reads 90 is no request";
}

TEST_P(BoardOfType, FollowsThePatternAndStartsDark) {
    Board board(GetParam());
    EXPECT_EQ(board.lamps(), 0);
    EXPECT_EQ(board.takeChanges(), 0);
    send(board, "1/7/");
    EXPECT_EQ(board.lamps(), 7);
    EXPECT_EQ(board.takeChanges(), kLampsChanged);
    send(board, "1/7/");
    EXPECT_EQ(board.takeChanges(), 0) << "the same pattern again changes nothing";
    send(board, "1/256/1/x/");
    EXPECT_EQ(board.lamps(), 7) << "bad patterns are ignored";
    send(board, "1/0/");
    EXPECT_EQ(board.lamps(), 0);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, BoardOfType,
                         ::testing::Values(BoardType::ET, BoardType::AL, BoardType::TM),
                         [](const auto& info) { return std::string(typeCode(info.param)); });

TEST(BoardPeaks, LastOnlyUntilTheNextPattern) {
    Board board(BoardType::AL);
    send(board, "1/7/4/2/");
    EXPECT_EQ(board.peaks(), 2);
    EXPECT_EQ(board.takeChanges(), kLampsChanged | kPeaksChanged);
    // The next frame has no peak message: nothing peaks any more.
    send(board, "1/7/");
    EXPECT_EQ(board.peaks(), 0);
    EXPECT_EQ(board.takeChanges(), kPeaksChanged);
    send(board, "4/255/1/0/");
    EXPECT_EQ(board.peaks(), 0) << "the all-off message switches the peaks off too";
}

TEST(BoardPeaks, EtBoardIgnoresThemAndTexts) {
    Board board(BoardType::ET);
    send(board, "1/1/4/255/9/LEFT/");
    EXPECT_EQ(board.peaks(), 0);
    EXPECT_STREQ(board.text(), "");
    EXPECT_EQ(board.takeChanges(), kLampsChanged);
}

TEST(BoardText, OnlyTmKeepsItAndItIsReplacedWhole) {
    Board al(BoardType::AL);
    send(al, "9/LEFT/");
    EXPECT_STREQ(al.text(), "");

    Board tm(BoardType::TM);
    send(tm, "9/   RIGHT/");
    EXPECT_STREQ(tm.text(), "   RIGHT");
    EXPECT_EQ(tm.takeChanges(), kTextChanged);
    send(tm, "9/LEFT/");
    EXPECT_STREQ(tm.text(), "LEFT");
    send(tm, "9/TOOLONGTEXT/9/a\x80/");
    EXPECT_STREQ(tm.text(), "LEFT") << "rejected texts leave the display as it was";
    send(tm, "9//");
    EXPECT_STREQ(tm.text(), "");
}

TEST(BoardDisplay, DigitsShowTextDotsShowPeaksLedsShowLamps) {
    Board tm(BoardType::TM);
    EXPECT_EQ(image(tm), (std::array<uint8_t, kDisplayBytes>{}));
    send(tm, "9/-  OFF -/1/129/4/3/");
    auto img = image(tm);
    const char* text = "-  OFF -";
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        uint8_t dot = i < 2 ? kDecimalPoint : 0;
        EXPECT_EQ(img[2 * i], glyph(text[i]) | dot);
        EXPECT_EQ(img[2 * i + 1], (i == 0 || i == 7) ? 1 : 0);
    }
    send(tm, "9/LEFT/");
    img = image(tm);
    EXPECT_EQ(img[2 * 4], 0) << "positions after a short text are blank";
    EXPECT_EQ(img[2 * 3], glyph('T'));
}

TEST(Font, DrawsTheShapesOfASevenSegmentDisplay) {
    EXPECT_EQ(glyph('8'), 0x7f);  // every segment
    EXPECT_EQ(glyph('0'), 0x3f);
    EXPECT_EQ(glyph('1'), 0x06);  // b and c
    EXPECT_EQ(glyph('-'), 0x40);  // g only
    EXPECT_EQ(glyph(' '), 0x00);
    EXPECT_EQ(glyph('H'), 0x76);
    EXPECT_EQ(glyph('L'), 0x38);
    EXPECT_EQ(glyph('E'), 0x79);
    EXPECT_EQ(glyph('o'), 0x5c) << "small o sits in the lower half";
    EXPECT_EQ(glyph('/'), 0x00);
    EXPECT_EQ(glyph('\x80'), 0x00);
}

TEST(Font, EveryLetterOfTheProgramsTextsIsDrawn) {
    for (char c : std::string("LEFTRIGHTOFFinout")) {
        EXPECT_NE(glyph(c), 0) << c;
        EXPECT_EQ(glyph(c) & kDecimalPoint, 0) << c;
    }
    // Letters must not look like a blank or like each other where the texts need them apart.
    EXPECT_NE(glyph('I'), glyph('1'));
    EXPECT_NE(glyph('G'), glyph('6'));
}

}  // namespace
}  // namespace kf::fw
