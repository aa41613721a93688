// The port plug-in driven as the communication stack drives it: bound by
// LoDllGetObject, called through IZmbPort, over simulated towers.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "Tavrix.h"
#include "faults/faults.h"
#include "port_fixture.h"
#include "tower/values.h"

namespace towertest {
constexpr char kFirst[] = "\\\\.\\QIROTOWER1";
namespace {

using namespace std::chrono;

class Port : public PortTest {};

TEST_F(Port, TheStackBindsThePortByItsIdentifierInAnyLetterCaseOnly) {
  LODLLGETOBJECT getObject = GetObjectEntry();
  ASSERT_NE(getObject, nullptr);
  IZmbPort* port = reinterpret_cast<IZmbPort*>(1);
  EXPECT_EQ(getObject("qiro.zmb.commstack.port.usb", &port), ZMB_OK);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->release(), 0u);
  port = reinterpret_cast<IZmbPort*>(1);
  EXPECT_EQ(getObject("QIRO.Zmb.CommStack.Port.Serial", &port), ZMB_E_NOTSUPPORTED);
  EXPECT_EQ(port, nullptr);
  port = reinterpret_cast<IZmbPort*>(1);
  EXPECT_EQ(getObject("", &port), ZMB_E_INVALIDARG);
  EXPECT_EQ(getObject(nullptr, &port), ZMB_E_INVALIDARG);
  EXPECT_EQ(port, reinterpret_cast<IZmbPort*>(1));
  EXPECT_EQ(getObject(ZMB_PORT_OBJECT_USB, nullptr), ZMB_E_INVALIDARG);
  // The registration entries are one body that does nothing.
  using Registration = LONG(WINAPI*)(void);
  auto reg = As<Registration>(Entry("LoDllRegister"));
  auto unreg = As<Registration>(Entry("LoDllUnregister"));
  ASSERT_NE(reg, nullptr);
  ASSERT_NE(unreg, nullptr);
  EXPECT_EQ(reg(), 0);
  EXPECT_EQ(unreg(), 0);
}

TEST_F(Port, ACallerCompiledApartReachesEveryOperationByItsPlaceInTheTable) {
  ASSERT_NE(PlugTower(), nullptr);
  IZmbPort* port = NewPort();
  char path[MAX_PATH];
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  ASSERT_NE(find, nullptr);
  ASSERT_TRUE(QIROTowerGetPathNameCopy(find, path, sizeof(path)));
  QIROTowerFindStop(find);
  EXPECT_EQ(CallThroughTable(port, path), 0);
}

TEST_F(Port, ANewPortIsClosedAndCountsItsReferences) {
  IZmbPort* port = NewPort();
  EXPECT_EQ(port->getstate(), 0u);
  EXPECT_FALSE(port->islineon());
  EXPECT_EQ(port->close(), ZMB_E_NOTOPEN);
  EXPECT_EQ(port->getthroughput(nullptr), ZMB_E_NOTSUPPORTED);
  EXPECT_EQ(port->addref(), 2u);
  EXPECT_EQ(port->release(), 1u);
  ULONG first = 0;
  ULONG second = 0;
  EXPECT_EQ(port->settimeout(1, 1), ZMB_E_NOTOPEN);
  EXPECT_EQ(port->gettimeout(nullptr, &second), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->gettimeout(&first, &second), ZMB_E_NOTOPEN);
  EXPECT_EQ(port->clear(3), ZMB_E_NOTOPEN);
  EXPECT_EQ(port->clear(0), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->abort(1), ZMB_E_NOTOPEN);
  char reply[8] = "x";
  EXPECT_EQ(port->devicecontrol("porttype", reply, sizeof(reply)), ZMB_E_NOTOPEN);
  EXPECT_STREQ(reply, "x");
}

TEST_F(Port, OpenTakesOneTowerAndRefusesBadPathsAndASecondOpen) {
  ASSERT_NE(PlugTower(), nullptr);
  IZmbPort* port = NewPort();
  EXPECT_EQ(port->open(static_cast<const char*>(nullptr), nullptr), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->open("", nullptr), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->open(static_cast<const _ZMBPORTDESC*>(nullptr), nullptr), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->open("\\\\.\\QIROTOWER9", nullptr), ZMB_E_OPENFAILED);
  EXPECT_EQ(port->getstate(), 0u);
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_TRUE(port->islineon());
  EXPECT_EQ(port->open(kFirst, nullptr), ZMB_E_ALREADYOPEN);
  // The handle is exclusive: nobody else opens the tower meanwhile.
  EXPECT_EQ(Open(kFirst), INVALID_HANDLE_VALUE);
  EXPECT_EQ(port->close(), ZMB_OK);
  EXPECT_EQ(port->getstate(), 0u);
  EXPECT_EQ(port->close(), ZMB_E_NOTOPEN);
  HANDLE mine = Open(kFirst);
  EXPECT_NE(mine, INVALID_HANDLE_VALUE);
  Close(mine);

  // A mode runs the default command: IR link mode.
  Tower().ClearSetupLog();
  ASSERT_EQ(port->open(kFirst, "anything"), ZMB_OK);
  EXPECT_TRUE(SawSetParm(0, TOWER_PARM_LINK_MODE, TOWER_LINK_IR));
  port->close();
  // A tower that refuses the link mode leaves the port closed.
  sim::RequestFault refuse;
  refuse.status = 5;
  Tower().SetRequestFault(TOWER_REQ_SET_PARM, refuse);
  EXPECT_EQ(port->open(kFirst, "ir"), ZMB_E_DEVICEFAILED);
  EXPECT_EQ(port->getstate(), 0u);
  EXPECT_EQ(port->close(), ZMB_E_NOTOPEN);
}

TEST_F(Port, FindWalksThePresentTowersFromTheFirstEveryTime) {
  IZmbPort* port = NewPort();
  _ZMBPORTDESC desc;
  std::memset(&desc, 0x5A, sizeof(desc));
  EXPECT_EQ(port->findfirst(&desc), ZMB_E_NOPORT);
  EXPECT_EQ(desc.index, 1u);
  EXPECT_EQ(desc.path[0], '\0');
  EXPECT_EQ(desc.path[259], '\0');
  EXPECT_EQ(port->findfirst(nullptr), ZMB_E_INVALIDARG);

  ASSERT_NE(PlugTower(), nullptr);
  ASSERT_NE(PlugTower(), nullptr);
  const auto paths = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_EQ(paths.size(), 2u);
  ASSERT_EQ(port->findfirst(&desc), ZMB_OK);
  EXPECT_EQ(desc.index, 1u);
  EXPECT_EQ(desc.path, paths[0]);
  _ZMBPORTDESC next;
  ASSERT_EQ(port->findnext(&desc, &next), ZMB_OK);
  EXPECT_EQ(next.index, 2u);
  EXPECT_EQ(next.path, paths[1]);
  EXPECT_EQ(port->findnext(&next, &next), ZMB_E_NOPORT);
  EXPECT_EQ(port->findnext(&desc, nullptr), ZMB_E_INVALIDARG);
  // Previous and next may be one record; index 0 gives the first again.
  desc.index = 0;
  ASSERT_EQ(port->findnext(&desc, &desc), ZMB_OK);
  EXPECT_EQ(desc.index, 1u);
  EXPECT_EQ(desc.path, paths[0]);
  ASSERT_EQ(port->open(&next, nullptr), ZMB_OK);
}

TEST_F(Port, TimeoutsGoToTheTowerWithTheFirstValueAlsoForWrites) {
  ASSERT_NE(PlugTower(), nullptr);
  IZmbPort* port = NewPort();
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  ASSERT_EQ(port->settimeout(300, 50), ZMB_OK);
  ULONG first = 0;
  ULONG second = 0;
  ASSERT_EQ(port->gettimeout(&first, &second), ZMB_OK);
  EXPECT_EQ(first, 300u);
  EXPECT_EQ(second, 50u);
  char reply[64];
  ASSERT_EQ(port->devicecontrol("timeout", reply, sizeof(reply)), ZMB_OK);
  EXPECT_STREQ(reply, "read_1 = 300, read_ic = 50, write = 300");
  EXPECT_EQ(port->clear(3), ZMB_OK);
  EXPECT_EQ(port->clear(4), ZMB_E_INVALIDARG);
}

// ---- the text command language

class Command : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    ASSERT_NE(PlugTower(), nullptr);
    port_ = NewPort();
    ASSERT_EQ(port_->open(kFirst, nullptr), ZMB_OK);
  }
  LONG Run(const char* command) {
    std::memset(reply_, 'X', sizeof(reply_));
    return port_->devicecontrol(command, reply_, sizeof(reply_));
  }
  IZmbPort* port_ = nullptr;
  char reply_[128];
};

TEST_F(Command, RangeAndLinkModeSetQueryAndRefuseUnknownWordsWithoutATowerCall) {
  EXPECT_EQ(Run("RANGE = LONG"), ZMB_OK);
  EXPECT_STREQ(reply_, "long");
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_LONG);
  EXPECT_EQ(Run("range"), ZMB_OK);
  EXPECT_STREQ(reply_, "long");
  EXPECT_EQ(Run("range=?"), ZMB_OK);
  EXPECT_STREQ(reply_, "long");
  Tower().ClearSetupLog();
  EXPECT_EQ(Run("range=far"), ZMB_E_INVALIDARG);
  EXPECT_STREQ(reply_, "");
  EXPECT_TRUE(Tower().SetupLog().empty());
  // A value starting outside the value characters is no value: a query.
  EXPECT_EQ(Run("range=-5"), ZMB_OK);
  EXPECT_STREQ(reply_, "long");

  EXPECT_EQ(Run("mode=irc"), ZMB_OK);
  EXPECT_STREQ(reply_, "irc");
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_LINK_MODE), TOWER_LINK_IRC);
  EXPECT_EQ(Run("linkmode=?"), ZMB_OK);
  EXPECT_STREQ(reply_, "irc");
  EXPECT_EQ(Run("endianness=big"), ZMB_OK);
  EXPECT_STREQ(reply_, "big");
  EXPECT_EQ(Run("ledmode=sw"), ZMB_OK);
  EXPECT_STREQ(reply_, "sw");
  EXPECT_EQ(Run("ledmode"), ZMB_OK);
  EXPECT_STREQ(reply_, "sw");
  // A null command is the default one: IR link mode.
  EXPECT_EQ(port_->devicecontrol(nullptr, nullptr, 0), ZMB_OK);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_LINK_MODE), TOWER_LINK_IR);
  // A tower call that fails leaves the reply empty.
  sim::RequestFault refuse;
  refuse.status = 1;
  Tower().SetRequestFault(TOWER_REQ_SET_PARM, refuse);
  EXPECT_EQ(Run("range=short"), ZMB_E_DEVICEFAILED);
  EXPECT_STREQ(reply_, "");
}

TEST_F(Command, WithoutMemoryTheCommandFailsAndAWordThatCannotBeCopiedIsAbsent) {
  ASSERT_EQ(Run("range=medium"), ZMB_OK);
  // The copy of the command itself.
  auto copy = machine_->faults().Once(hk::fault::kMalloc, 0, "Celvane.dll");
  EXPECT_EQ(Run("range=short"), ZMB_E_DEVICEFAILED);
  EXPECT_STREQ(reply_, "");
  EXPECT_EQ(copy->Hits(), 1u);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_MEDIUM);
  // The copy of the value (after the command's and the name's): the
  // setting becomes a query.
  auto value = machine_->faults().After(hk::fault::kMalloc, 2, 0, "Celvane.dll");
  Tower().ClearSetupLog();
  EXPECT_EQ(Run("range=short"), ZMB_OK);
  EXPECT_STREQ(reply_, "medium");
  EXPECT_EQ(value->Hits(), 1u);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_MEDIUM);
}

TEST_F(Command, FlushResetAndTheParameterListsParseAlike) {
  EXPECT_EQ(Run("flush(tx,rx)"), ZMB_OK);
  EXPECT_STREQ(reply_, "ok");
  EXPECT_EQ(Run("flush"), ZMB_E_INVALIDARG);
  EXPECT_EQ(Run("flush(all)"), ZMB_E_INVALIDARG);
  EXPECT_EQ(Run("flush(tx,"), ZMB_OK);
  EXPECT_EQ(Run("FLUSH ( RX ; )"), ZMB_OK);
  EXPECT_EQ(Run("reset"), ZMB_OK);
  EXPECT_STREQ(reply_, "ok");
  EXPECT_EQ(Run("porttype"), ZMB_OK);
  EXPECT_STREQ(reply_, "usbtower");
  EXPECT_EQ(port_->devicecontrol("porttype", nullptr, 0), ZMB_OK);
  for (const char* unknown : {"blink", "", "=5", "\trange", "(tx)"}) {
    EXPECT_EQ(Run(unknown), ZMB_E_INVALIDARG) << unknown;
    EXPECT_STREQ(reply_, "unknown command") << unknown;
  }
}

TEST_F(Command, TimeoutSetsTheNamedTimeoutsAndRewritesTheRest) {
  ASSERT_EQ(port_->settimeout(200, 100), ZMB_OK);
  EXPECT_EQ(Run("timeout(write)=200"), ZMB_OK);
  EXPECT_EQ(Run("timeout(read)=500"), ZMB_OK);
  EXPECT_STREQ(reply_, "read_1 = 500, read_ic = 500, write = 200");
  EXPECT_EQ(Run("timeout=500"), ZMB_OK);
  EXPECT_STREQ(reply_, "read_1 = 500, read_ic = 500, write = 200");
  for (const char* same : {"timeout (read_1, write) = 300", "TIMEOUT(read_1 write)=300",
                           "timeout(read_1;write)=300"}) {
    EXPECT_EQ(Run(same), ZMB_OK) << same;
    EXPECT_STREQ(reply_, "read_1 = 300, read_ic = 500, write = 300") << same;
  }
  EXPECT_EQ(Run("timeout(write)=0"), ZMB_E_INVALIDARG);
  EXPECT_STREQ(reply_, "");
  EXPECT_EQ(Run("timeout(read_ic)=70 trailing"), ZMB_OK);
  EXPECT_STREQ(reply_, "read_1 = 300, read_ic = 70, write = 300");
}

TEST_F(Command, IrSpeedAndPacketSizeTakeTheTowersOwnNumbers) {
  EXPECT_EQ(Run("irspeed=4800"), ZMB_OK);
  EXPECT_STREQ(reply_, "tx = 4800, rx = 4800");
  EXPECT_EQ(Run("irspeed(tx)=2400"), ZMB_OK);
  EXPECT_STREQ(reply_, "tx = 2400, rx = 4800");
  EXPECT_EQ(Tower().TxSpeed(), TOWER_SPEED_2400);
  EXPECT_EQ(Tower().RxSpeed(), TOWER_SPEED_4800);
  EXPECT_EQ(Run("speed(rx)=19200"), ZMB_OK);
  EXPECT_STREQ(reply_, "tx = 2400, rx = 19200");
  EXPECT_EQ(Run("irspeed=1000"), ZMB_E_INVALIDARG);
  EXPECT_STREQ(reply_, "");
  EXPECT_EQ(Run("ircpacketsize=300"), ZMB_OK);
  EXPECT_STREQ(reply_, "44");
  EXPECT_EQ(Tower().IrcParameter(TOWER_IRC_PARM_PACKET_SIZE), 44);
  EXPECT_EQ(Run("ircpacketsize=256"), ZMB_E_INVALIDARG);
  EXPECT_EQ(Run("ircpacketsize"), ZMB_OK);
  EXPECT_STREQ(reply_, "44");
}

TEST_F(Command, LedStateNeedsExactlyOneLed) {
  EXPECT_EQ(Run("ledstate(vll)=on"), ZMB_OK);
  EXPECT_STREQ(reply_, "on");
  EXPECT_EQ(Tower().Led(TOWER_LED_2), TOWER_LED_ON);
  EXPECT_EQ(Run("ledstate(vll)"), ZMB_OK);
  EXPECT_STREQ(reply_, "on");
  EXPECT_EQ(Run("ledstate(id)=off"), ZMB_OK);
  EXPECT_STREQ(reply_, "off");
  EXPECT_EQ(Run("ledstate=on"), ZMB_E_INVALIDARG);
  EXPECT_EQ(Run("ledstate(id,vll)"), ZMB_E_INVALIDARG);
  EXPECT_EQ(Run("ledstate(id)=blink"), ZMB_E_INVALIDARG);
}

TEST_F(Command, TextsNeedAReplyAndAreTruncatedToIt) {
  Tower().SetVersion(2, 5, 310);
  Tower().SetCopyright(u"Copyright text of the tower");
  EXPECT_EQ(port_->devicecontrol("version", nullptr, 0), ZMB_E_INVALIDARG);
  EXPECT_EQ(port_->devicecontrol("errorstate", nullptr, 0), ZMB_E_INVALIDARG);
  EXPECT_EQ(port_->devicecontrol("credits", nullptr, 0), ZMB_E_INVALIDARG);
  EXPECT_EQ(Run("version"), ZMB_OK);
  EXPECT_NE(std::strstr(reply_, "Firmware version = 2.5.310"), nullptr) << reply_;
  EXPECT_EQ(std::strncmp(reply_, "Driver version = ", 17), 0) << reply_;
  char small[10];
  EXPECT_EQ(port_->devicecontrol("version", small, sizeof(small)), ZMB_OK);
  EXPECT_STREQ(small, "Driver ve");
  EXPECT_EQ(Run("copyright"), ZMB_OK);
  EXPECT_STREQ(reply_, "Copyright text of the tower");
  // A reply too short for the tower's text: the library refuses it.
  EXPECT_EQ(port_->devicecontrol("copyright", small, sizeof(small)), ZMB_E_DEVICEFAILED);
  EXPECT_STREQ(small, "");
  Tower().SetErrorState(7);
  EXPECT_EQ(Run("errorstate"), ZMB_OK);
  EXPECT_STREQ(reply_, "7");
}

TEST_F(Command, AReplySizeBelowOneReceivesNothingForTheTowersTextsToo) {
  // The library would take the size as an unsigned length: a size of 0 or
  // below must not reach it as a huge buffer.
  for (int size : {0, -1, -1000}) {
    char reply[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(port_->devicecontrol("copyright", reply, size), ZMB_OK) << size;
    EXPECT_EQ(port_->devicecontrol("credits", reply, size), ZMB_OK) << size;
    EXPECT_EQ(port_->devicecontrol("version", reply, size), ZMB_OK) << size;
    EXPECT_EQ(std::memcmp(reply, "abcd", 4), 0) << size;
  }
}

// ---- transfers

LONG WINAPI OnCompletion(ULONG direction, LONG result, unsigned char* buffer, ULONG count,
                         void* context);

struct Completion {
  std::atomic<int> calls{0};
  std::atomic<ULONG> direction{0};
  std::atomic<LONG> result{0};
  std::atomic<unsigned char*> buffer{nullptr};
  std::atomic<ULONG> count{0};
  // Set before the call: released by the callback (the last reference).
  std::atomic<IZmbPort*> releaseIn{nullptr};
  std::atomic<ULONG> releaseResult{99};
};

LONG WINAPI OnCompletion(ULONG direction, LONG result, unsigned char* buffer, ULONG count,
                         void* context) {
  auto* c = static_cast<Completion*>(context);
  c->direction = direction;
  c->result = result;
  c->buffer = buffer;
  c->count = count;
  if (IZmbPort* port = c->releaseIn.load()) c->releaseResult = port->release();
  c->calls.fetch_add(1);
  return 12345;  // ignored
}

class Transfer : public PortTest {
 protected:
  IZmbPort* OpenPort(sim::TowerOptions options = Instant()) {
    if (towers_.empty()) {
      EXPECT_NE(PlugTower(nullptr, options), nullptr);
    }
    IZmbPort* port = NewPort();
    EXPECT_EQ(port->open(kFirst, nullptr), ZMB_OK);
    EXPECT_EQ(port->settimeout(200, 50), ZMB_OK);
    return port;
  }
};

TEST_F(Transfer, SynchronousSendAndReceiveCarryTheBytesAndReportShortReads) {
  IZmbPort* port = OpenPort();
  const unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'};
  ULONG sent = 0;
  ASSERT_EQ(port->send(hello, sizeof(hello), &sent, nullptr), ZMB_OK);
  EXPECT_EQ(sent, 5u);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  unsigned char back[10] = {};
  ULONG received = 0;
  // The loopback heard 5 bytes; 10 were asked for.
  EXPECT_EQ(port->recv(back, sizeof(back), &received, nullptr), ZMB_E_TIMEOUT);
  EXPECT_EQ(received, 5u);
  EXPECT_EQ(std::memcmp(back, hello, 5), 0);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_EQ(port->send(nullptr, 5, &sent, nullptr), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->send(hello, 0, nullptr, nullptr), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->recv(back, 0, nullptr, nullptr), ZMB_E_INVALIDARG);
  // A receive never reopens.
  port->close();
  EXPECT_EQ(port->recv(back, 1, nullptr, nullptr), ZMB_E_NOTOPEN);
  EXPECT_EQ(port->abort(1), ZMB_E_NOTOPEN);
}

TEST_F(Transfer, ModesNeedACallbackForCallbackMode) {
  IZmbPort* port = NewPort();
  EXPECT_EQ(port->settxmode(2, nullptr), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->settxmode(3, OnCompletion), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->setrxmode(0, OnCompletion), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->settxmode(1, nullptr), ZMB_OK);
  EXPECT_EQ(port->settxmode(1, OnCompletion), ZMB_OK);
  ULONG mode = 0;
  ZMBPORTCALLBACK callback = nullptr;
  EXPECT_EQ(port->gettxmode(&mode, &callback), ZMB_OK);
  EXPECT_EQ(mode, 1u);
  EXPECT_EQ(callback, &OnCompletion);
  EXPECT_EQ(port->setrxmode(2, OnCompletion), ZMB_OK);
  EXPECT_EQ(port->getrxmode(&mode, nullptr), ZMB_OK);
  EXPECT_EQ(mode, 2u);
  EXPECT_EQ(port->getrxmode(nullptr, &callback), ZMB_E_INVALIDARG);
}

TEST_F(Transfer, CallbackModeQueuesTheTransferAndReportsItOnTheWorker) {
  IZmbPort* port = OpenPort();
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  ASSERT_EQ(port->setrxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion sendDone;
  unsigned char data[] = {1, 2, 3, 4};
  ULONG sent = 99;
  ASSERT_EQ(port->send(data, sizeof(data), &sent, &sendDone), ZMB_S_PENDING);
  EXPECT_EQ(sent, 0u);
  ASSERT_TRUE(Eventually([&] { return sendDone.calls.load() == 1; }));
  EXPECT_EQ(sendDone.direction.load(), ZMB_PORT_TX);
  EXPECT_EQ(sendDone.result.load(), ZMB_OK);
  EXPECT_EQ(sendDone.buffer.load(), data);
  EXPECT_EQ(sendDone.count.load(), 4u);
  ASSERT_TRUE(Eventually([&] { return port->getstate() == ZMB_PORTSTATE_OPEN; }));

  Completion recvDone;
  unsigned char back[4] = {};
  ASSERT_EQ(port->recv(back, sizeof(back), nullptr, &recvDone), ZMB_S_PENDING);
  ASSERT_TRUE(Eventually([&] { return recvDone.calls.load() == 1; }));
  EXPECT_EQ(recvDone.direction.load(), ZMB_PORT_RX);
  EXPECT_EQ(recvDone.result.load(), ZMB_OK);
  EXPECT_EQ(recvDone.count.load(), 4u);
  EXPECT_EQ(std::memcmp(back, data, 4), 0);
}

TEST_F(Transfer, OneTransferPerDirectionAndNoReceiveWhileSending) {
  IZmbPort* port = OpenPort();
  // The tower takes no data: a write waits out its limit (200 ms a byte)
  // and comes back with nothing written, which is still a success.
  Tower().SetOutFault(sim::OutFault::NeverAccept);
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion done;
  unsigned char data[2] = {1, 2};
  ASSERT_EQ(port->send(data, sizeof(data), nullptr, &done), ZMB_S_PENDING);
  EXPECT_EQ(port->send(data, sizeof(data), nullptr, &done), ZMB_E_BUSY);
  unsigned char back[1];
  EXPECT_EQ(port->recv(back, 1, nullptr, nullptr), ZMB_E_BUSY);
  ASSERT_TRUE(Eventually([&] { return done.calls.load() == 1; }));
  EXPECT_EQ(done.result.load(), ZMB_OK);
  EXPECT_EQ(done.count.load(), 0u);
  ASSERT_TRUE(Eventually([&] { return port->getstate() == ZMB_PORTSTATE_OPEN; }));
  // A write that fails while the tower's line is on is final.
  Tower().SetOutFault(sim::OutFault::Stall);
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_SYNC, nullptr), ZMB_OK);
  EXPECT_EQ(port->send(data, sizeof(data), nullptr, nullptr), ZMB_E_SENDFAILED);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
}

TEST_F(Transfer, ASendWhileAReceiveWaitsIsAcceptedAndWritesOnceTheReadIsBack) {
  IZmbPort* port = OpenPort();
  Tower().SetFarSide(sim::FarSide::Silence);
  ASSERT_EQ(port->settimeout(800, 50), ZMB_OK);
  ASSERT_EQ(port->setrxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion received;
  unsigned char back[1];
  ASSERT_EQ(port->recv(back, 1, nullptr, &received), ZMB_S_PENDING);
  std::this_thread::sleep_for(milliseconds(200));
  const unsigned char data[1] = {9};
  const auto start = steady_clock::now();
  // Accepted while the receive runs; the handle lets the write through only
  // after the read (one request at a time on a synchronous handle).
  EXPECT_EQ(port->send(data, 1, nullptr, nullptr), ZMB_OK);
  EXPECT_GE(steady_clock::now() - start, milliseconds(300));
  ASSERT_TRUE(Eventually([&] { return received.calls.load() == 1; }));
  EXPECT_EQ(received.result.load(), ZMB_E_TIMEOUT);
  EXPECT_EQ(Tower().Transmitted(), std::vector<uint8_t>{9});
}

TEST_F(Transfer, ASendOnANeverOpenedPortOpensTheFirstTower) {
  IZmbPort* port = NewPort();
  const unsigned char data[3] = {7, 8, 9};
  EXPECT_EQ(port->send(data, 3, nullptr, nullptr), ZMB_E_NOTOPEN);
  EXPECT_EQ(port->getstate(), 0u);
  ASSERT_NE(PlugTower(), nullptr);
  ULONG sent = 0;
  EXPECT_EQ(port->send(data, 3, &sent, nullptr), ZMB_OK);
  EXPECT_EQ(sent, 3u);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_EQ(Tower().Transmitted(), (std::vector<uint8_t>{7, 8, 9}));
}

TEST_F(Transfer, AnUnpluggedTowerIsReplacedWithTheSavedSettingsAndTheDataWrittenAgain) {
  hk::DeviceObject* first = PlugTower();
  ASSERT_NE(first, nullptr);
  // The replacement is on a port of its own: the host machine gives a port
  // to a new device only once the old one's removal is over.
  ASSERT_NE(PlugTower(), nullptr);
  IZmbPort* port = NewPort();
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  char reply[16];
  ASSERT_EQ(port->devicecontrol("mode=irc", reply, sizeof(reply)), ZMB_OK);
  ASSERT_EQ(port->devicecontrol("range=long", reply, sizeof(reply)), ZMB_OK);
  Tower(1).ClearSetupLog();
  // Unplugged while the port holds it.
  machine_->Unplug(first);
  const unsigned char data[3] = {'a', 'b', 'c'};
  ULONG sent = 0;
  EXPECT_EQ(port->send(data, 3, &sent, nullptr), ZMB_OK);
  EXPECT_EQ(sent, 3u);
  EXPECT_EQ(Tower(1).Transmitted(), (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_TRUE(SawSetParm(1, TOWER_PARM_LINK_MODE, TOWER_LINK_IRC));
  EXPECT_TRUE(SawSetParm(1, TOWER_PARM_RANGE, TOWER_RANGE_LONG));
  EXPECT_EQ(Tower(1).Parameter(TOWER_PARM_RANGE), TOWER_RANGE_LONG);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_TRUE(port->islineon());
  // The settings are remembered for the next reconnection too.
  EXPECT_EQ(port->devicecontrol("range", reply, sizeof(reply)), ZMB_OK);
  EXPECT_STREQ(reply, "long");
}

TEST_F(Transfer, SettingsTheReplacementTowerRefusesDoNotFailTheSend) {
  hk::DeviceObject* first = PlugTower();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(PlugTower(), nullptr);
  IZmbPort* port = NewPort();
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  char reply[16];
  ASSERT_EQ(port->devicecontrol("mode=irc", reply, sizeof(reply)), ZMB_OK);
  ASSERT_EQ(port->devicecontrol("range=short", reply, sizeof(reply)), ZMB_OK);
  // The replacement answers every setting with a refusal in its status.
  sim::RequestFault refused;
  refused.status = 5;
  Tower(1).SetRequestFault(TOWER_REQ_SET_PARM, refused);
  Tower(1).ClearSetupLog();
  machine_->Unplug(first);
  const unsigned char data[3] = {'x', 'y', 'z'};
  ULONG sent = 0;
  EXPECT_EQ(port->send(data, 3, &sent, nullptr), ZMB_OK);
  EXPECT_EQ(sent, 3u);
  EXPECT_EQ(Tower(1).Transmitted(), (std::vector<uint8_t>{'x', 'y', 'z'}));
  EXPECT_TRUE(SawSetParm(1, TOWER_PARM_LINK_MODE, TOWER_LINK_IRC)) << "the settings were tried";
  EXPECT_TRUE(SawSetParm(1, TOWER_PARM_RANGE, TOWER_RANGE_SHORT));
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
}

TEST_F(Transfer, ASecondFailedWriteAfterAReconnectionIsReportedAsAFailure) {
  hk::DeviceObject* first = PlugTower();
  ASSERT_NE(first, nullptr);
  // The tower found next vanishes at its first write; a third stays.
  ASSERT_NE(PlugTower(), nullptr);
  Tower(1).VanishOnNextOut();
  ASSERT_NE(PlugTower(), nullptr);
  IZmbPort* port = NewPort();
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  machine_->Unplug(first);
  const unsigned char data[2] = {1, 2};
  // Attempt 1 fails on the unplugged tower, attempt 2 on the vanished one;
  // the port is open again (on the third), but nothing was written.
  EXPECT_EQ(port->send(data, 2, nullptr, nullptr), ZMB_E_SENDFAILED);
  EXPECT_TRUE(Tower(2).Transmitted().empty());
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  // With no tower left to reopen, the failure is a failed reconnection.
  Tower(2).VanishOnNextOut();
  EXPECT_EQ(port->send(data, 2, nullptr, nullptr), ZMB_E_RECONNECTFAILED);
  EXPECT_EQ(port->getstate(), 0u);
}

TEST_F(Transfer, AbortWithNothingRunningChangesNothingAndRefusesOtherSides) {
  IZmbPort* port = OpenPort();
  const auto start = steady_clock::now();
  EXPECT_EQ(port->abort(1), ZMB_OK);
  EXPECT_EQ(port->abort(3), ZMB_OK);
  EXPECT_LT(steady_clock::now() - start, seconds(1));
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_EQ(port->abort(4), ZMB_E_INVALIDARG);
  EXPECT_EQ(port->abort(0), ZMB_E_INVALIDARG);
}

TEST_F(Transfer, AbortEndsAWaitingReceiveWhenItsReadReturns) {
  IZmbPort* port = OpenPort();
  Tower().SetFarSide(sim::FarSide::Silence);
  ASSERT_EQ(port->settimeout(600, 50), ZMB_OK);
  ASSERT_EQ(port->setrxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion done;
  unsigned char back[4];
  ASSERT_EQ(port->recv(back, 4, nullptr, &done), ZMB_S_PENDING);
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(port->abort(ZMB_PORT_RX), ZMB_OK);
  ASSERT_TRUE(Eventually([&] { return done.calls.load() == 1; }));
  EXPECT_EQ(done.result.load(), ZMB_E_ABORTED);
  ASSERT_TRUE(Eventually([&] { return port->getstate() == ZMB_PORTSTATE_OPEN; }));
}

TEST_F(Transfer, AbortGivesUpAfterThreeClockSecondsAndLeavesThePortOpenOnly) {
  // A read that outlasts the abort's wait.
  machine_->io().SetHangLimit(seconds(30));
  IZmbPort* port = OpenPort();
  Tower().SetFarSide(sim::FarSide::Silence);
  ASSERT_EQ(port->settimeout(6000, 50), ZMB_OK);
  ASSERT_EQ(port->setrxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion done;
  unsigned char back[4];
  ASSERT_EQ(port->recv(back, 4, nullptr, &done), ZMB_S_PENDING);
  std::this_thread::sleep_for(milliseconds(100));
  const auto start = steady_clock::now();
  EXPECT_EQ(port->abort(ZMB_PORT_RX), ZMB_OK);
  const auto waited = steady_clock::now() - start;
  // Two to three seconds of the whole-second clock, and the read still runs.
  EXPECT_GE(waited, milliseconds(1500));
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_EQ(done.calls.load(), 0);
  ASSERT_TRUE(Eventually([&] { return done.calls.load() == 1; }));
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
}

TEST_F(Transfer, ReleasingTheLastReferenceCompletesTheQueuedSendFirst) {
  sim::TowerOptions slow;
  slow.timeScale = 0.05;  // a few milliseconds a byte at the default speed
  IZmbPort* port = OpenPort(slow);
  ports_.clear();
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion done;
  unsigned char data[16] = {};
  ASSERT_EQ(port->send(data, sizeof(data), nullptr, &done), ZMB_S_PENDING);
  EXPECT_EQ(port->release(), 0u);
  // The send and its callback were over before release returned.
  EXPECT_EQ(done.calls.load(), 1);
  EXPECT_EQ(done.result.load(), ZMB_OK);
  EXPECT_EQ(done.count.load(), 16u);
  EXPECT_EQ(Tower().Transmitted().size(), 16u);
  // The tower handle went with the port.
  EXPECT_NE(Open(kFirst), INVALID_HANDLE_VALUE);
}

TEST_F(Transfer, ACallbackGivingUpTheLastReferenceDestroysThePortWithoutDeadlock) {
  IZmbPort* port = OpenPort();
  ports_.clear();
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion done;
  done.releaseIn = port;
  unsigned char data[2] = {1, 2};
  ASSERT_EQ(port->send(data, sizeof(data), nullptr, &done), ZMB_S_PENDING);
  ASSERT_TRUE(Eventually([&] { return done.calls.load() == 1; }));
  // 0, or 1 when the callback ran before send had left the port: a call
  // holds a reference of its own until it returns, and its release is then
  // the last.
  EXPECT_LE(done.releaseResult.load(), 1u);
  // The worker (or the call, leaving) destroyed the port: its tower handle is closed, and the
  // leak checker sees no object left behind.
  HANDLE tower = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Eventually([&] {
    tower =
        CreateFileA(kFirst, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return tower != INVALID_HANDLE_VALUE;
  }));
  CloseHandle(tower);
}

// ---- failures of the platform, provoked through the machine's fault facility

TEST_F(Port, APortThatCannotBeAllocatedIsNoObject) {
  auto refused = machine_->faults().Once(hk::fault::kNew, 0, "Celvane.dll");
  IZmbPort* port = reinterpret_cast<IZmbPort*>(0x1234);
  EXPECT_EQ(GetObjectEntry()("QIRO.Zmb.CommStack.Port.USB", &port), ZMB_E_OUTOFMEMORY);
  EXPECT_EQ(port, nullptr);
  EXPECT_EQ(refused->Hits(), 1u);
}

TEST_F(Transfer, APortWhoseThreadsFailedToStartStillWorksSynchronously) {
  ASSERT_NE(PlugTower(), nullptr);
  auto refused =
      machine_->faults().Always(hk::fault::kCreateThread, ERROR_NOT_ENOUGH_MEMORY, "Celvane.dll");
  // Not reported by the creation: the object is there all the same.
  IZmbPort* port = NewPort();
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(refused->Hits(), 2u) << "the send thread, then the receive thread";
  machine_->faults().Clear(refused);
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  ASSERT_EQ(port->settimeout(200, 50), ZMB_OK);
  const unsigned char data[] = {1, 2, 3};
  ULONG sent = 0;
  EXPECT_EQ(port->send(data, sizeof(data), &sent, nullptr), ZMB_OK);
  EXPECT_EQ(sent, 3u);
  unsigned char back[3] = {};
  ULONG received = 0;
  EXPECT_EQ(port->recv(back, sizeof(back), &received, nullptr), ZMB_OK);
  EXPECT_EQ(received, 3u);

  // In callback mode nothing can take the requests.
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  ASSERT_EQ(port->setrxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion done;
  EXPECT_EQ(port->send(data, sizeof(data), &sent, &done), ZMB_E_SENDFAILED);
  EXPECT_EQ(port->recv(back, sizeof(back), &received, &done), ZMB_E_RECVFAILED);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN) << "no transfer is left marked";
  EXPECT_EQ(done.calls.load(), 0);
  // Released at the end: the destructor has no thread to stop.
}

TEST_F(Transfer, OnlyTheReceiveThreadFailedToStart) {
  ASSERT_NE(PlugTower(), nullptr);
  auto refused =
      machine_->faults().After(hk::fault::kCreateThread, 1, ERROR_NOT_ENOUGH_MEMORY, "Celvane.dll");
  IZmbPort* port = NewPort();
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(refused->Hits(), 1u);
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  ASSERT_EQ(port->settimeout(200, 50), ZMB_OK);
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  ASSERT_EQ(port->setrxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion sendDone;
  unsigned char data[] = {4, 5};
  ASSERT_EQ(port->send(data, sizeof(data), nullptr, &sendDone), ZMB_S_PENDING);
  ASSERT_TRUE(Eventually([&] { return sendDone.calls.load() == 1; }));
  EXPECT_EQ(sendDone.result.load(), ZMB_OK);
  ASSERT_TRUE(Eventually([&] { return port->getstate() == ZMB_PORTSTATE_OPEN; }));
  Completion recvDone;
  unsigned char back[2] = {};
  EXPECT_EQ(port->recv(back, sizeof(back), nullptr, &recvDone), ZMB_E_RECVFAILED);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
}

TEST_F(Transfer, ARequestThatCannotBeAllocatedIsOutOfMemoryAndLeavesNoTransferMarked) {
  IZmbPort* port = OpenPort();
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  ASSERT_EQ(port->setrxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  auto refused = machine_->faults().Times(hk::fault::kNew, 2, 0, "Celvane.dll");
  Completion done;
  unsigned char data[] = {1};
  EXPECT_EQ(port->send(data, sizeof(data), nullptr, &done), ZMB_E_OUTOFMEMORY);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_EQ(port->recv(data, sizeof(data), nullptr, &done), ZMB_E_OUTOFMEMORY);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_EQ(refused->Hits(), 2u);
  EXPECT_EQ(done.calls.load(), 0);
  // The next request is queued as ever.
  ASSERT_EQ(port->send(data, sizeof(data), nullptr, &done), ZMB_S_PENDING);
  ASSERT_TRUE(Eventually([&] { return done.calls.load() == 1; }));
}

TEST_F(Transfer, ARequestThatCannotBePostedFailsAndLeavesNoTransferMarked) {
  IZmbPort* port = OpenPort();
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  ASSERT_EQ(port->setrxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  auto send = machine_->faults().Once(hk::fault::kPostThreadMessageA, ERROR_NOT_ENOUGH_QUOTA,
                                      std::to_string(ZMBPORT_MSG_SEND));
  auto recv = machine_->faults().Once(hk::fault::kPostThreadMessageA, ERROR_NOT_ENOUGH_QUOTA,
                                      std::to_string(ZMBPORT_MSG_RECV));
  Completion done;
  unsigned char data[] = {7, 8};
  ULONG count = 99;
  // The request is freed (the leak check would see it otherwise).
  EXPECT_EQ(port->send(data, sizeof(data), &count, &done), ZMB_E_SENDFAILED);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_EQ(port->recv(data, sizeof(data), &count, &done), ZMB_E_RECVFAILED);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN);
  EXPECT_EQ(send->Hits(), 1u);
  EXPECT_EQ(recv->Hits(), 1u);
  EXPECT_EQ(done.calls.load(), 0);
  EXPECT_EQ(Tower().Stats().transmitted, 0u) << "nothing was sent";
  // The next request is queued as ever.
  ASSERT_EQ(port->send(data, sizeof(data), nullptr, &done), ZMB_S_PENDING);
  ASSERT_TRUE(Eventually([&] { return done.calls.load() == 1; }));
  EXPECT_EQ(done.result.load(), ZMB_OK);
}

TEST_F(Transfer, WorkersWhoseFirstMessageNeverGoesStillServeThePort) {
  ASSERT_NE(PlugTower(), nullptr);
  // The probe of each new thread is refused until it gives up (two clock
  // seconds); the creation does not pass that on.
  auto refused = machine_->faults().Always(hk::fault::kPostThreadMessageA, ERROR_INVALID_THREAD_ID,
                                           std::to_string(ZMBPORT_MSG_INIT));
  IZmbPort* port = NewPort();
  ASSERT_NE(port, nullptr);
  EXPECT_GE(refused->Hits(), 2u);
  machine_->faults().Clear(refused);
  // The threads are there, and take callback transfers.
  ASSERT_EQ(port->open(kFirst, nullptr), ZMB_OK);
  ASSERT_EQ(port->settimeout(200, 50), ZMB_OK);
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion done;
  unsigned char data[] = {1, 2};
  ASSERT_EQ(port->send(data, sizeof(data), nullptr, &done), ZMB_S_PENDING);
  ASSERT_TRUE(Eventually([&] { return done.calls.load() == 1; }));
  EXPECT_EQ(done.result.load(), ZMB_OK);
}

TEST_F(Transfer, ATowerGoneWhileThePortHoldsItFailsEachCallWithItsOwnError) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  IZmbPort* port = OpenPort();
  machine_->Unplug(physical);
  EXPECT_FALSE(port->islineon());
  EXPECT_EQ(port->settimeout(300, 50), ZMB_E_SETTIMEOUTFAILED);
  ULONG first = 0;
  ULONG second = 0;
  EXPECT_EQ(port->gettimeout(&first, &second), ZMB_E_GETTIMEOUTFAILED);
  EXPECT_EQ(port->clear(ZMB_PORT_TX | ZMB_PORT_RX), ZMB_E_CLEARFAILED);
  unsigned char back[2];
  EXPECT_EQ(port->recv(back, sizeof(back), nullptr, nullptr), ZMB_E_RECVFAILED);
  EXPECT_EQ(port->getstate(), ZMB_PORTSTATE_OPEN) << "a receive never reconnects";
}

TEST_F(Transfer, WithoutATowerToOpenASendHasNoPort) {
  IZmbPort* port = NewPort();
  _ZMBPORTDESC previous;
  std::memset(&previous, 0, sizeof(previous));
  _ZMBPORTDESC next;
  EXPECT_EQ(port->findnext(&previous, &next), ZMB_E_NOPORT);
  // The only tower is held elsewhere: none can be opened.
  ASSERT_NE(PlugTower(), nullptr);
  HANDLE held = Open("\\\\.\\QIROTOWER1");
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const unsigned char data[2] = {1, 2};
  EXPECT_EQ(port->send(data, sizeof(data), nullptr, nullptr), ZMB_E_NOTOPEN);
  EXPECT_EQ(port->getstate(), 0u);
  Close(held);
  EXPECT_EQ(port->send(data, sizeof(data), nullptr, nullptr), ZMB_OK);
}

TEST_F(Transfer, ASecondReceiveWhileOneWaitsIsBusy) {
  IZmbPort* port = OpenPort();
  Tower().SetFarSide(sim::FarSide::Silence);
  ASSERT_EQ(port->settimeout(600, 50), ZMB_OK);
  ASSERT_EQ(port->setrxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion done;
  unsigned char back[4];
  ASSERT_EQ(port->recv(back, 4, nullptr, &done), ZMB_S_PENDING);
  EXPECT_EQ(port->recv(back, 4, nullptr, &done), ZMB_E_BUSY);
  ASSERT_TRUE(Eventually([&] { return done.calls.load() == 1; }));
  EXPECT_EQ(done.result.load(), ZMB_E_TIMEOUT);
}

TEST_F(Transfer, AnAbortedSendSaysSoWhenItsWriteReturns) {
  IZmbPort* port = OpenPort();
  Tower().SetOutFault(sim::OutFault::NeverAccept);
  ASSERT_EQ(port->settxmode(ZMB_PORTMODE_CALLBACK, OnCompletion), ZMB_OK);
  Completion done;
  unsigned char data[2] = {1, 2};
  ASSERT_EQ(port->send(data, sizeof(data), nullptr, &done), ZMB_S_PENDING);
  EXPECT_EQ(port->abort(ZMB_PORT_TX), ZMB_OK);
  ASSERT_TRUE(Eventually([&] { return done.calls.load() == 1; }));
  EXPECT_EQ(done.result.load(), ZMB_E_ABORTED);
  ASSERT_TRUE(Eventually([&] { return port->getstate() == ZMB_PORTSTATE_OPEN; }));
}

}  // namespace
}  // namespace towertest
