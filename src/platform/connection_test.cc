#include "platform/connection.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/fake/fake_connection.h"

namespace kelmarind::platform {
namespace {

using protocol::ValueType;

protocol::Value value(ValueType type) { return {type, type == ValueType::nil ? "" : "x"}; }

const ExportedInterface interface{.methods = {{"walk:", {ValueType::text}, ReplyType::bytesAndText},
                                              {"ping:", {}, ReplyType::text}}};

// Does whatever `behaviour` does with each message's reply sender.
class ScriptedObject final : public ExportedObject {
 public:
  std::function<void(ReplySender)> behaviour;
  void invoke(const protocol::Request&, ReplySender reply) override { behaviour(std::move(reply)); }
};

TEST(ReplySenderTest, EveryMessageGetsExactlyOneReplyOfItsMethodsShape) {
  const protocol::Reply document{std::string("{}"), std::nullopt};
  const struct {
    const char* name;
    const char* selector;
    std::function<void(ReplySender)> behaviour;
    protocol::Reply expected;
  } cases[] = {
      {"sent once", "walk:", [&](ReplySender r) { std::move(r).send(document); }, document},
      {"dropped unsent", "walk:", [](ReplySender) {},
       protocol::Reply::ofText(ReplySender::unansweredText)},
      {"sent after a move", "ping:",
       [](ReplySender r) {
         ReplySender moved(std::move(r));
         std::move(moved).send(protocol::Reply::ofText("ok"));
       },
       protocol::Reply::ofText("ok")},
      {"bytes for a text method", "ping:", [&](ReplySender r) { std::move(r).send(document); },
       protocol::Reply::ofText(ReplySender::mismatchedReplyText)},
  };
  for (const auto& c : cases) {
    ScriptedObject object;
    object.behaviour = c.behaviour;
    fake::FakeConnection connection;
    connection.setExportedInterface(interface);
    connection.setExportedObject(object);
    connection.resume();
    const bool isWalk = std::string_view(c.selector) == "walk:";
    const protocol::Request request{
        c.selector, isWalk ? std::vector{value(ValueType::nil)} : std::vector<protocol::Value>{}};
    EXPECT_EQ(connection.send(request), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace kelmarind::platform
