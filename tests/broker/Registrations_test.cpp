#include "broker/Registrations.h"

#include <gtest/gtest.h>

namespace dralmin {
namespace {

struct FakeAgent {
  LocalUser user = 0;
  std::uint32_t process = 0;
};
using Book = Registrations<FakeAgent>;

TEST(RegistrationsTest, UnfinishedRegistrationsAreBoundedPerUserAndInAll) {
  Book book;
  for (std::size_t i = 0; i < Book::kUnfinishedPerUser; ++i) EXPECT_TRUE(book.Begin(1001));
  EXPECT_FALSE(book.Begin(1001));
  book.End(1001);
  EXPECT_TRUE(book.Begin(1001));
  // Other users fill what is left of the whole.
  std::size_t taken = Book::kUnfinishedPerUser;
  for (LocalUser user = 2000; taken < Book::kUnfinishedInAll; ++user, ++taken) {
    ASSERT_TRUE(book.Begin(user));
  }
  EXPECT_FALSE(book.Begin(5000));
  book.EndAll();
  EXPECT_TRUE(book.Begin(5000));
}

TEST(RegistrationsTest, AnAgentThatWasReplacedIsNotRemovedInPlaceOfItsSuccessor) {
  Book book;
  auto first = std::make_shared<FakeAgent>(FakeAgent{1001, 10});
  auto second = std::make_shared<FakeAgent>(FakeAgent{1001, 11});
  book.Add(first);
  book.Add(second);
  EXPECT_FALSE(book.Remove(first));
  EXPECT_EQ(book.Of(1001), second);
  ASSERT_EQ(book.View().size(), 1u);
  EXPECT_EQ(book.View()[0].process, 11u);
  EXPECT_TRUE(book.Remove(second));
  EXPECT_EQ(book.Of(1001), nullptr);
}

TEST(RegistrationsTest, AHelloIsJudgedByItsBytesItsPortsAndTheUsersAgentStillThere) {
  const rendezvous::Ports ports{8081, 8433};
  EXPECT_EQ(JudgeHello("DTA1", ports, false), HelloVerdict::kNotAnAgent);
  EXPECT_EQ(JudgeHello(rendezvous::Hello({8081, 9443}), ports, false), HelloVerdict::kOtherPorts);
  EXPECT_EQ(JudgeHello(rendezvous::Hello(ports), ports, true), HelloVerdict::kTaken);
  EXPECT_EQ(JudgeHello(rendezvous::Hello(ports), ports, false), HelloVerdict::kRegister);
}

}  // namespace
}  // namespace dralmin
