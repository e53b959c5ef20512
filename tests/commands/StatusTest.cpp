// The printer's answer to the host status query: what it says, and every way it can fail to say it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "support/StatusPrinter.h"

namespace {

std::string frame(const std::string& line) { return "\x02" + line + "\x03\r\n"; }

// Paper out, a label length of 1218 dots, head open, thermal transfer, peel off, a label waiting.
const std::string kAnswer =
    frame("030,1,0,1218,000,0,0,0,000,0,0,0") + frame("001,0,1,0,1,1,0,1,00000000,1,002") + frame("1234,0");

int parse(const std::string& bytes, hostStatus* status, size_t* consumed) {
  return parseHostStatus(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), status,
                         consumed);
}

TEST(HostStatus, ReadsEveryFieldOfTheAnswer) {
  hostStatus s{};
  size_t consumed = 0;
  ASSERT_EQ(parse("noise" + kAnswer + "~more", &s, &consumed), kHostStatusComplete);
  EXPECT_EQ(consumed, 5 + kAnswer.size());
  EXPECT_EQ(s.paperOut, 1);
  EXPECT_EQ(s.paused, 0);
  EXPECT_EQ(s.labelLength, 1218);
  EXPECT_EQ(s.headOpen, 1);
  EXPECT_EQ(s.ribbonOut, 0);
  EXPECT_EQ(s.thermalTransfer, 1);
  EXPECT_EQ(s.printMode, 1);
  EXPECT_EQ(s.labelWaiting, 1);
  EXPECT_EQ(s.formatPrinting, 1);
  EXPECT_EQ(s.graphicsStored, 2);

  const std::string flags =
      frame("030,0,1,0200,000,1,0,0,000,0,1,1") + frame("001,0,0,1,0,2,0,0,00000012,0,000") + frame("0000,0");
  ASSERT_EQ(parse(flags, &s, &consumed), kHostStatusComplete);
  EXPECT_EQ(s.paused + s.bufferFull + s.underTemperature + s.overTemperature + s.ribbonOut, 5);
  EXPECT_EQ(s.labelLength, 200);
  EXPECT_EQ(s.thermalTransfer, 0);
  EXPECT_EQ(s.printMode, 2);
  EXPECT_EQ(s.labelsRemaining, 12);
}

// An answer split across reads is incomplete at every cut, never malformed.
TEST(HostStatus, EveryCutOfAnAnswerIsIncomplete) {
  hostStatus s{};
  size_t consumed = 0;
  for (size_t cut = 0; cut < kAnswer.size(); ++cut)
    EXPECT_EQ(parse(kAnswer.substr(0, cut), &s, &consumed), kHostStatusIncomplete) << cut;
}

TEST(HostStatus, AnythingElseIsMalformed) {
  const std::string second = frame("001,0,1,0,1,1,0,1,00000000,1,002"), third = frame("1234,0");
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"fewer fields", frame("030,1,0,1218,000,0,0,0,000,0,0") + second + third},
      {"a letter", frame("030,1,0,12x8,000,0,0,0,000,0,0,0") + second + third},
      {"an empty field", frame("030,,0,1218,000,0,0,0,000,0,0,0") + second + third},
      {"a field of nine digits", frame("030,1,0,123456789,000,0,0,0,000,0,0,0") + second + third},
      {"a sign", frame("030,1,0,-1218,000,0,0,0,000,0,0,0") + second + third},
      {"no line end",
       "\x02"
       "030,1,0,1218,000,0,0,0,000,0,0,0\x03" +
           second + third},
      {"a line too long", frame(std::string(200, '0')) + second + third},
      {"a frame inside a frame", "\x02\x02" + kAnswer},
      {"a megabyte of digits", "\x02" + std::string(1 << 20, '1')},
      {"a megabyte of noise", std::string(1 << 20, 'x') + kAnswer},
      {"bytes between lines", frame("030,1,0,1218,000,0,0,0,000,0,0,0") + "x" + second + third},
  };
  for (const auto& c : cases) {
    hostStatus s{};
    s.labelLength = 77;
    size_t consumed = 99;
    EXPECT_EQ(parse(c.bytes, &s, &consumed), kHostStatusMalformed) << c.name;
    EXPECT_EQ(s.labelLength, 77) << c.name;
    EXPECT_EQ(consumed, 99u) << c.name;
  }
}

}  // namespace

// The tests' fake printer answers exactly what a printer in each state would: every field changed alone
// reads back as itself.
TEST(HostStatus, TheFakePrintersAnswersReadBackAsTheirStatus) {
  const std::vector<int hostStatus::*> fields = {
      &hostStatus::paperOut,        &hostStatus::paused,         &hostStatus::labelLength,
      &hostStatus::formatsWaiting,  &hostStatus::bufferFull,     &hostStatus::diagnosticMode,
      &hostStatus::partialFormat,   &hostStatus::corruptMemory,  &hostStatus::underTemperature,
      &hostStatus::overTemperature, &hostStatus::headOpen,       &hostStatus::ribbonOut,
      &hostStatus::thermalTransfer, &hostStatus::printMode,      &hostStatus::labelWaiting,
      &hostStatus::labelsRemaining, &hostStatus::formatPrinting, &hostStatus::graphicsStored};
  for (size_t i = 0; i < fields.size(); ++i) {
    hostStatus sent = readyStatus();
    sent.*fields[i] = sent.*fields[i] == 0 ? 1 : 0;
    hostStatus read{};
    size_t consumed = 0;
    const std::string answer = hostStatusAnswer(sent);
    ASSERT_EQ(parse(answer, &read, &consumed), kHostStatusComplete) << answer;
    EXPECT_EQ(consumed, answer.size());
    EXPECT_EQ(std::memcmp(&read, &sent, sizeof sent), 0) << "field " << i;
  }
}
