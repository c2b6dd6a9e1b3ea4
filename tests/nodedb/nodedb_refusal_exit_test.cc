// The database refusing a modification as invalid ends the process through the process's
// exit, which takes the daemon's socket files with it: a server's socket, still listening
// when the refusal comes, is gone once the process has ended with status 1.
#include <cstdio>
#include <filesystem>

#include "platform/rpc/server_builder.h"
#include "tests/nodedb/nodedb_fixture.h"
#include "zumbra/qbx/nodedb/nodedb.grpc.pb.h"

namespace qbx {
namespace testing {
namespace {

class NodeDbRefusalExitTest : public NodeDbClientFixture {};

TEST_F(NodeDbRefusalExitTest, ModificationRefusedAsInvalidRemovesTheSocketFilesOnItsWayOut) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The same path in the test and in the death test's child, which runs this test again
  // from its start: under the working folder, which is the build's own.
  const std::filesystem::path dir = std::filesystem::current_path() / "nodedb_refusal_exit";
  const std::string socket = (dir / "rpc" / "service.sock").string();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  EXPECT_EXIT(
      {
        Logger::SetSinkForTest([](int, const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        zumbra::qbx::nodedb::NodeDb::Service service;  // never called
        rpc::ServerBuilder builder;
        builder.AddLocalSocket(socket).RegisterService(&service, "zumbra.qbx.nodedb.NodeDb");
        std::unique_ptr<rpc::Server> server = builder.BuildStarted();
        if (server && std::filesystem::is_socket(socket)) std::fprintf(stderr, "listening on the socket\n");
        StartClient();
        standin_.FailNextModify(rpc::StatusCode::kInvalidRequest);
        client_->Modify({PutRequest(pb::NODE_CONFIG, "bad", "1")}, [] {});
        WaitUntil([] { return false; });
        std::exit(3);
      },
      ::testing::ExitedWithCode(1),
      "listening on the socket.*NDB100.*Server reported error due to invalid client request");
  EXPECT_FALSE(std::filesystem::exists(socket));
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace
}  // namespace testing
}  // namespace qbx
