// SPDX-License-Identifier: Apache-2.0
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

// The printer's answer to the host identification query.
namespace {

int identify(const std::string& bytes, hostIdentity* identity, size_t* consumed) {
  return parseHostIdentity(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), identity,
                           consumed);
}

TEST(HostIdentity, ReadsEveryHeadFramedOrNot) {
  const struct {
    std::string bytes;
    const char *model, *version;
    int dotsPerInch;
    int32_t memory;
    const char* options;
    size_t after;  // bytes after the answer
  } cases[] = {
      {frame("LP-410,V60.13.0,8,8192KB,"), "LP-410", "V60.13.0", 203, 8192, "", 0},
      {"noise" + frame("LP 2,V1,6,512KB,AB") + "~more", "LP 2", "V1", 152, 512, "AB", 5},
      {frame(" LP-410-300 , V75.1 ,12,2MB,C9"), "LP-410-300", "V75.1", 300, 2048, "C9", 0},
      {"LP-600,V2.0,24,65536KB,X\r\n~HS", "LP-600", "V2.0", 600, 65536, "X", 3},
      {"\r\nLP-600,V2.0,24,1KB,\n", "LP-600", "V2.0", 600, 1, "", 0},
  };
  for (const auto& c : cases) {
    hostIdentity id{};
    size_t consumed = 0;
    ASSERT_EQ(identify(c.bytes, &id, &consumed), kHostStatusComplete) << c.bytes;
    EXPECT_STREQ(id.model, c.model);
    EXPECT_STREQ(id.version, c.version);
    EXPECT_EQ(id.dotsPerInch, c.dotsPerInch) << c.bytes;
    EXPECT_EQ(id.memoryKilobytes, c.memory) << c.bytes;
    EXPECT_STREQ(id.options, c.options);
    EXPECT_EQ(consumed, c.bytes.size() - c.after) << c.bytes;
  }
  // Every cut of an answer is incomplete.
  const std::string whole = frame("LP-410,V60.13.0,8,8192KB,");
  hostIdentity id{};
  size_t consumed = 0;
  for (size_t cut = 0; cut < whole.size(); ++cut)
    EXPECT_EQ(identify(whole.substr(0, cut), &id, &consumed), kHostStatusIncomplete) << cut;
}

TEST(HostIdentity, AnythingElseIsMalformed) {
  const std::string longText(kMaxIdentityText + 1, 'M');
  const std::string cases[] = {
      frame("LP-410,V60,10,8192KB,"),  // no such head
      frame("LP-410,V60,8,8192,"),     // memory without its unit
      frame("LP-410,V60,8,8192KB"),    // four fields
      frame("LP-410,V60,8,8192KB,,"),  // six
      frame(",V60,8,8192KB,"),         // no model
      frame("  ,V60,8,8192KB,"),
      frame(longText + ",V60,8,8192KB,"),
      frame("LP-410,V60,8,123456789KB,"),
      frame("LP-410,V60,8,-1KB,"),
      frame("LP-410,V60,8,1KB,A-B"),
      frame("LP-410,V60,8,1KB,ABCDEFGHIJKLMNOPQ"),
      frame("LP\x01,V60,8,1KB,"),
      frame("LP\xC3\xA9,V60,8,1KB,"),
      "\x02LP-410,V60,8,8192KB,\x03\n",
      "\x02\x02" + frame("LP-410,V60,8,8192KB,"),
      frame("030,1,0,1218,000,0,0,0,000,0,0,0"),  // a status line
      "garbage\r\n",
      std::string(1 << 20, 'x'),
      "\x02" + std::string(1 << 20, '8'),
      std::string(kMaxHostIdentityLine + 1, ' ') + frame("LP-410,V60,8,8192KB,"),
  };
  for (const auto& bytes : cases) {
    hostIdentity id{};
    id.dotsPerInch = 77;
    size_t consumed = 99;
    EXPECT_EQ(identify(bytes, &id, &consumed), kHostStatusMalformed) << bytes.substr(0, 60);
    EXPECT_EQ(id.dotsPerInch, 77);
    EXPECT_EQ(consumed, 99u);
  }
}

}  // namespace
