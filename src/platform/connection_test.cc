#include "platform/connection.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/fake/fake_connection.h"

namespace kelmarind::platform {
namespace {

using wire::ValueType;

wire::Value value(ValueType type) { return {type, type == ValueType::nil ? "" : "x"}; }

const ExportedInterface interface {
  {
    {"walk:", {ValueType::text}, ReplyType::bytesAndText},
        {"copy:to:", {ValueType::bytes, ValueType::text}, ReplyType::text},
        {"ping:", {}, ReplyType::text},
  }
};

TEST(ExportedInterfaceTest, MatchesOnlyKnownSelectorsWithFittingArguments) {
  const struct {
    wire::Request request;
    const char* matched;  // nullptr: the connection is invalidated
  } cases[] = {
      {{"walk:", {value(ValueType::text)}}, "walk:"},
      {{"walk:", {value(ValueType::nil)}}, "walk:"},
      {{"walk:", {value(ValueType::bytes)}}, nullptr},
      {{"walk:", {}}, nullptr},
      {{"walk:", {value(ValueType::text), value(ValueType::text)}}, nullptr},
      {{"copy:to:", {value(ValueType::bytes), value(ValueType::nil)}}, "copy:to:"},
      {{"copy:to:", {value(ValueType::text), value(ValueType::text)}}, nullptr},
      {{"ping:", {}}, "ping:"},
      {{"Ping:", {}}, nullptr},
      {{"walk", {value(ValueType::text)}}, nullptr},
  };
  for (const auto& c : cases) {
    const ExportedMethod* method = interface.match(c.request);
    if (c.matched == nullptr) {
      EXPECT_EQ(method, nullptr) << c.request.selector;
    } else {
      ASSERT_NE(method, nullptr) << c.request.selector;
      EXPECT_EQ(method->selector, c.matched);
    }
  }
}

// Does whatever `behaviour` does with each message's reply sender.
class ScriptedObject final : public ExportedObject {
 public:
  std::function<void(ReplySender)> behaviour;
  void invoke(const wire::Request&, ReplySender reply) override { behaviour(std::move(reply)); }
};

TEST(ReplySenderTest, EveryMessageGetsExactlyOneReplyOfItsMethodsShape) {
  const wire::Reply document{std::string("{}"), std::nullopt};
  const struct {
    const char* name;
    const char* selector;
    std::function<void(ReplySender)> behaviour;
    wire::Reply expected;
  } cases[] = {
      {"sent once", "walk:", [&](ReplySender r) { std::move(r).send(document); }, document},
      {"dropped unsent", "walk:", [](ReplySender) {},
       wire::Reply::ofText(ReplySender::unansweredText)},
      {"sent after a move", "ping:",
       [](ReplySender r) {
         ReplySender moved(std::move(r));
         std::move(moved).send(wire::Reply::ofText("ok"));
       },
       wire::Reply::ofText("ok")},
      {"bytes for a text method", "ping:", [&](ReplySender r) { std::move(r).send(document); },
       wire::Reply::ofText(ReplySender::mismatchedReplyText)},
      {"nothing for a text method", "ping:", [](ReplySender r) { std::move(r).send({}); },
       wire::Reply::ofText(ReplySender::mismatchedReplyText)},
  };
  for (const auto& c : cases) {
    ScriptedObject object;
    object.behaviour = c.behaviour;
    fake::FakeConnection connection;
    connection.setExportedInterface(interface);
    connection.setExportedObject(object);
    connection.resume();
    const bool isWalk = std::string_view(c.selector) == "walk:";
    const wire::Request request{
        c.selector, isWalk ? std::vector{value(ValueType::nil)} : std::vector<wire::Value>{}};
    EXPECT_EQ(connection.send(request), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace kelmarind::platform
