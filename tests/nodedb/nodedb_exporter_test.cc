// The process's holder of the client: its loop runs on the caller's thread until the holder
// goes, and the client it holds is built for the node's database.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "nodedb/nodedb_client_exporter.h"

namespace qbx {
namespace {

TEST(NodeDbClientExporterTest, RunsItsLoopUntilDestroyedWithoutStartingTheClient) {
  auto exporter = std::make_unique<NodeDbClientExporter>();
  ASSERT_NE(exporter->client(), nullptr);
  EXPECT_EQ(exporter->client()->state(), nodedb::NodeDbClient::INIT);
  std::thread loop([&] { exporter->RunEventLoop(); });
  std::promise<std::thread::id> ran;
  ASSERT_TRUE(exporter->provider().dispatcher().Post([&] { ran.set_value(std::this_thread::get_id()); }));
  EXPECT_EQ(ran.get_future().get(), loop.get_id());
  exporter.reset();  // stops the loop; RunEventLoop returns
  loop.join();
}

}  // namespace
}  // namespace qbx
