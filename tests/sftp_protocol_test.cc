// The SFTP server's replies as the link reads them: whole replies from any cut of the stream,
// the version exchange's among them, and a stream that is no reply stream is refused rather than
// read past.
#include "device/sftp_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace provision::sftp {
namespace {

std::string u32(std::uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

// A reply as the server frames it: length, then type and body.
std::string framed(std::uint8_t type, const std::string& body) {
  return u32(static_cast<std::uint32_t>(1 + body.size())) + static_cast<char>(type) + body;
}

std::string status(std::uint32_t id, std::uint32_t code) {
  return framed(kStatus, u32(id) + u32(code) + u32(7) + "Failure" + u32(0));
}

std::string handle(std::uint32_t id, const std::string& value) {
  return framed(kHandle, u32(id) + u32(static_cast<std::uint32_t>(value.size())) + value);
}

// The VERSION reply, with the extensions an OpenSSH server lists after the version.
std::string version(std::uint32_t number) {
  const std::string name = kPosixRename;
  return framed(kVersion,
                u32(number) + u32(static_cast<std::uint32_t>(name.size())) + name + u32(1) + "1");
}

std::vector<Reply> readAll(ReplyReader& reader) {
  std::vector<Reply> replies;
  for (Reply reply; reader.next(reply);) replies.push_back(reply);
  return replies;
}

TEST(SftpReplies, WholeRepliesFromAnyCutOfTheStream) {
  // The link's INIT asks for version 3 and carries no id.
  EXPECT_EQ(initRequest(), u32(5) + static_cast<char>(kInit) + u32(3));
  const std::string stream =
      version(3) + handle(1, std::string("h\0x", 3)) + status(2, kStatusOk) + status(3, 4);
  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{5}, stream.size()}) {
    ReplyReader reader;
    std::vector<Reply> replies;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      reader.append(stream.data() + at, std::min(piece, stream.size() - at));
      for (const Reply& reply : readAll(reader)) replies.push_back(reply);
    }
    ASSERT_EQ(replies.size(), 4u) << piece;
    EXPECT_EQ(replies[0].type, kVersion);
    EXPECT_EQ(replies[0].id, kVersionId);
    EXPECT_EQ(replies[0].version, 3u);
    replies.erase(replies.begin());
    EXPECT_EQ(replies[0].type, kHandle);
    EXPECT_EQ(replies[0].id, 1u);
    EXPECT_EQ(replies[0].handle, std::string("h\0x", 3));
    EXPECT_EQ(replies[1].type, kStatus);
    EXPECT_EQ(replies[1].status, kStatusOk);
    EXPECT_EQ(replies[2].id, 3u);
    EXPECT_EQ(replies[2].status, 4u);
    EXPECT_FALSE(reader.broken());
  }
}

TEST(SftpReplies, WhatIsNoReplyBreaksTheStreamForGood) {
  const std::string tooLongHandle(kMaxHandle + 1, 'h');
  const std::vector<std::string> broken = {
      u32(4) + std::string("\x65\0\0\0", 4),         // shorter than type and id
      u32(3) + std::string("\x02\0\0", 3),           // a version cut short
      u32(kMaxReply + 1),                            // longer than any reply
      framed(kStatus, u32(9)),                       // a status without its code
      handle(9, ""),                                 // an empty handle
      handle(9, tooLongHandle),                      // a handle over the protocol's limit
      framed(kHandle, u32(9) + u32(100) + "short"),  // a handle that claims more than it has
  };
  for (const std::string& stream : broken) {
    ReplyReader reader;
    reader.append(stream.data(), stream.size());
    const std::string after = status(10, kStatusOk);
    reader.append(after.data(), after.size());
    Reply reply;
    EXPECT_FALSE(reader.next(reply)) << testing::PrintToString(stream);
    EXPECT_TRUE(reader.broken());
    EXPECT_FALSE(reader.next(reply));
  }
}

TEST(SftpReplies, OtherReplyTypesArriveWithTheirIdForTheCallerToJudge) {
  ReplyReader reader;
  const std::string stream = framed(104, u32(5) + u32(0)) + status(6, kStatusOk);
  reader.append(stream.data(), stream.size());
  const std::vector<Reply> replies = readAll(reader);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].type, 104);
  EXPECT_EQ(replies[0].id, 5u);
  EXPECT_EQ(replies[1].id, 6u);
}

}  // namespace
}  // namespace provision::sftp
