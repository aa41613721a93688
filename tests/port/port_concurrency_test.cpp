// Many stack threads on one port: sends, receives, text commands, aborts and
// opens racing each other and the port's two workers.
#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "port_fixture.h"

namespace towertest {
namespace {

constexpr char kFirst[] = "\\\\.\\QIROTOWER1";

class PortConcurrency : public PortTest {};

TEST_F(PortConcurrency, ThreadsSendReceiveCommandAndAbortOnOnePort) {
  ASSERT_NE(PlugTower(), nullptr);
  IZmbPort* port = NewPort();
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  ASSERT_EQ(port->settimeout(60, 20), ZMB_OK);

  std::atomic<int> unexpected{0};
  std::atomic<int> sentOk{0};
  auto expectOneOf = [&](LONG result, std::initializer_list<LONG> allowed) {
    for (LONG a : allowed)
      if (result == a) return;
    ++unexpected;
  };
  std::vector<std::thread> threads;
  threads.reserve(2);
  for (int s = 0; s < 2; ++s)
    threads.emplace_back([&] {
      const unsigned char data[4] = {1, 2, 3, 4};
      for (int i = 0; i < 20; ++i) {
        ULONG sent = 0;
        const LONG r = port->send(data, sizeof(data), &sent, nullptr);
        if (r == ZMB_OK) ++sentOk;
        expectOneOf(r, {ZMB_OK, ZMB_E_BUSY, ZMB_E_ABORTED});
      }
    });
  threads.emplace_back([&] {
    for (int i = 0; i < 20; ++i) {
      unsigned char back[4];
      ULONG received = 0;
      const LONG r = port->recv(back, sizeof(back), &received, nullptr);
      expectOneOf(r, {ZMB_OK, ZMB_E_TIMEOUT, ZMB_E_BUSY, ZMB_E_ABORTED});
      if (received > sizeof(back)) ++unexpected;
    }
  });
  threads.emplace_back([&] {
    const char* commands[] = {"range=short", "range",   "timeout(read)=60", "irspeed",
                              "flush(rx)",   "version", "mode=ir",          "ledstate(id)"};
    for (int i = 0; i < 40; ++i) {
      char reply[96];
      const LONG r = port->devicecontrol(commands[i % 8], reply, sizeof(reply));
      expectOneOf(r, {ZMB_OK});
      if (std::strlen(reply) >= sizeof(reply)) ++unexpected;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 20; ++i) {
      expectOneOf(port->abort(i % 2 == 0 ? 3u : 1u), {ZMB_OK});
      Sleep(5);
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(sentOk.load(), 0);
  // Nothing runs any more: no transfer or abort bit is left behind.
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_TRUE(port->islineon());
}

struct Chain {
  IZmbPort* port = nullptr;
  std::atomic<int> left{0};
  std::atomic<int> done{0};
  std::atomic<int> failures{0};
  unsigned char data[3] = {5, 6, 7};
};

LONG WINAPI SendAgain(ULONG direction, LONG result, unsigned char* buffer, ULONG count,
                      void* context) {
  auto* chain = static_cast<Chain*>(context);
  if (direction != ZMB_PORT_TX || buffer != chain->data) ++chain->failures;
  if (result == ZMB_OK && count != sizeof(chain->data)) ++chain->failures;
  // The transfer bit is already clear: the next send of the chain starts here.
  if (chain->left.fetch_sub(1) > 1) {
    const LONG r = chain->port->send(chain->data, sizeof(chain->data), nullptr, chain);
    if (r != ZMB_S_PENDING) ++chain->failures;
  }
  chain->done.fetch_add(1);
  return 0;
}

TEST_F(PortConcurrency, CallbacksStartTheNextSendWhileOtherThreadsUseThePort) {
  ASSERT_NE(PlugTower(), nullptr);
  IZmbPort* port = NewPort();
  ports_.clear();
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  ASSERT_EQ(port->settimeout(60, 20), ZMB_OK);
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, SendAgain), ZMB_OK);
  Chain chain;
  chain.port = port;
  chain.left = 30;
  ASSERT_EQ(port->send(chain.data, sizeof(chain.data), nullptr, &chain), ZMB_S_PENDING);
  std::atomic<int> unexpected{0};
  std::thread commander([&] {
    for (int i = 0; i < 30; ++i) {
      char reply[32];
      if (port->devicecontrol(i % 2 ? "range" : "mode=irc", reply, sizeof(reply)) != ZMB_OK)
        ++unexpected;
      port->getstate();
      port->islineon();
    }
  });
  std::thread reader([&] {
    for (int i = 0; i < 10; ++i) {
      unsigned char back[8];
      const LONG r = port->recv(back, sizeof(back), nullptr, nullptr);
      if (r != ZMB_OK && r != ZMB_E_TIMEOUT && r != ZMB_E_BUSY) ++unexpected;
    }
  });
  commander.join();
  reader.join();
  ASSERT_TRUE(Eventually([&] { return chain.done.load() == 30; }));
  EXPECT_EQ(chain.failures.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
  // The last reference goes while nothing is queued any more.
  EXPECT_EQ(port->release(), 0u);
}

TEST_F(PortConcurrency, RacingOpensLeaveOneHandleAndLoseNone) {
  ASSERT_NE(PlugTower(), nullptr);
  IZmbPort* port = NewPort();
  for (int round = 0; round < 5; ++round) {
    std::atomic<int> opened{0};
    std::atomic<int> other{0};
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        const LONG r = port->open(kFirst, nullptr);
        if (r == ZMB_OK)
          ++opened;
        else if (r != ZMB_E_ALREADYOPEN && r != ZMB_E_OPENFAILED)
          ++other;
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(opened.load(), 1);
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(port->close(), ZMB_OK);
    // No handle was left behind: the exclusive tower opens again.
    HANDLE mine = Open(kFirst);
    ASSERT_NE(mine, INVALID_HANDLE_VALUE);
    Close(mine);
  }
}

}  // namespace
}  // namespace towertest
