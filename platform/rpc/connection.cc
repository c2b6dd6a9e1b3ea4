#include "platform/rpc/connection.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <boost/system/error_code.hpp>
#include <grpcpp/channel.h>
#include <grpcpp/completion_queue.h>
#include <grpcpp/create_channel.h>
#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/security/credentials.h>
#include <grpcpp/support/channel_arguments.h>

#include "platform/rpc/byte_buffer.h"
#include "platform/rpc/rpc_log.h"
#include "zumbra/qbx/rpc/forwarding.grpc.pb.h"

namespace qbx {
namespace rpc {

// ---------------------------------------------------------------- Connection

Connection::Connection(const net::Endpoint& endpoint, std::shared_ptr<grpc::Channel> channel,
                       std::shared_ptr<Dispatcher> dispatcher)
    : endpoint_(endpoint), channel_(std::move(channel)), dispatcher_(dispatcher) {}

bool Connection::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

CloseReason Connection::close_reason() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reason_;
}

uint64_t Connection::AddCloseListener(CloseListener listener) { return AddDestinationListener({}, std::move(listener)); }

uint64_t Connection::AddDestinationListener(const std::string& destination, CloseListener listener) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t id = next_id_++;
  if (open_) {
    listeners_.emplace(id, Listener{destination, std::move(listener)});
    return id;
  }
  const CloseReason reason = reason_;
  lock.unlock();
  dispatcher_->Post([listener = std::move(listener), reason] { listener(reason); });
  return id;
}

void Connection::RemoveCloseListener(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.erase(id);
}

void Connection::Close(CloseReason reason) {
  std::map<uint64_t, Listener> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return;
    open_ = false;
    reason_ = reason;
    listeners.swap(listeners_);
  }
  QBX_RPC_LOG(loglevel::kDebug).put("Connection to %s closed: %s", endpoint_.uri().c_str(),
                                    CloseReasonToCStr(reason));
  for (auto& [id, listener] : listeners) {
    dispatcher_->Post([run = std::move(listener.run), reason] { run(reason); });
  }
}

void Connection::EndDestination(const std::string& destination, CloseReason reason) {
  std::vector<CloseListener> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_ || destination.empty()) return;
    for (auto it = listeners_.begin(); it != listeners_.end();) {
      if (it->second.destination == destination) {
        ended.push_back(std::move(it->second.run));
        it = listeners_.erase(it);
      } else {
        ++it;
      }
    }
  }
  QBX_RPC_LOG(loglevel::kDebug).put("Stream to %s ended by the forwarding peer: %s", destination.c_str(),
                                    CloseReasonToCStr(reason));
  for (auto& run : ended) dispatcher_->Post([run = std::move(run), reason] { run(reason); });
}

namespace flowcontrol {
bool IsConnectionAcceptStreamWithWindow(const std::shared_ptr<Connection>& connection, uint64_t window) {
  return connection != nullptr && connection->IsOpen() && window <= kMaxStreamWindow;
}
}  // namespace flowcontrol

// ---------------------------------------------------------------- connectivity watches

namespace {

using Clock = std::chrono::system_clock;
// Upper bound of one watch, so that a transport that goes away releases its channels soon.
constexpr auto kWaitingWatch = std::chrono::milliseconds(500);
// While only an open connection is watched, a long watch costs nothing: a change of state
// ends it at once.
constexpr auto kOpenWatch = std::chrono::seconds(30);

struct Waiter {
  TransportInterface::ConnectHandler handler;
  Clock::time_point deadline;
};

// While a connection to the forwarding peer is open, the peer tells over this stream which
// destinations' streams it ended; the destinations' channels close with the reason given.
// The watch ends with the connection (or when cancelled) and keeps itself alive until gRPC
// is done with it.
class DestinationWatch : public grpc::ClientReadReactor<zumbra::qbx::rpc::DestinationEndedMsg> {
 public:
  static std::shared_ptr<DestinationWatch> Start(const std::shared_ptr<grpc::Channel>& channel,
                                                 const std::shared_ptr<Connection>& connection) {
    std::shared_ptr<DestinationWatch> watch(new DestinationWatch(connection));
    watch->self_ = watch;
    watch->stub_ = zumbra::qbx::rpc::ForwardingRegistryService::NewStub(channel);
    watch->stub_->async()->WatchDestinations(&watch->context_, &watch->request_, watch.get());
    watch->StartRead(&watch->message_);
    watch->StartCall();
    return watch;
  }
  void Cancel() { context_.TryCancel(); }

  void OnReadDone(bool ok) override {
    if (!ok) return;
    if (auto connection = connection_.lock()) {
      connection->EndDestination(message_.id(), FromWire(message_.reason()));
    }
    StartRead(&message_);
  }
  void OnDone(const grpc::Status& status) override {
    QBX_RPC_LOG(loglevel::kDebug).put("Destination watch ended: %s", status.error_message().c_str());
    self_.reset();  // may destroy this object: nothing after it
  }

 private:
  explicit DestinationWatch(const std::shared_ptr<Connection>& connection) : connection_(connection) {}

  // A number outside the known reasons still ends the stream, as a close by the peer.
  static CloseReason FromWire(uint32_t reason) {
    if (reason == 0 || reason > static_cast<uint32_t>(CloseReason::kStubTimeout)) return CloseReason::kPeerClose;
    return static_cast<CloseReason>(reason);
  }

  grpc::ClientContext context_;
  std::unique_ptr<zumbra::qbx::rpc::ForwardingRegistryService::Stub> stub_;
  zumbra::qbx::rpc::WatchDestinationsMsg request_;
  zumbra::qbx::rpc::DestinationEndedMsg message_;
  const std::weak_ptr<Connection> connection_;
  std::shared_ptr<DestinationWatch> self_;
};

struct Entry {
  net::Endpoint endpoint;
  std::shared_ptr<grpc::Channel> channel;
  std::shared_ptr<Connection> open;
  std::vector<Waiter> waiters;
  bool watching = false;
  std::shared_ptr<DestinationWatch> destinations;  // while `open` is to the forwarding peer
};

struct WatchTag {
  std::weak_ptr<GrpcTransport::State> state;
  std::shared_ptr<Entry> entry;
  grpc_connectivity_state armed_state;
  // The tag crosses threads through gRPC's completion queue. Publishing it with a release
  // store that the watcher thread acquires makes that hand-over explicit (the distribution's
  // gRPC is not instrumented, so race detectors cannot see its own synchronisation).
  std::atomic<bool> published{false};
};

// One completion queue and thread for the connectivity watches of every transport. It
// lives as long as the process: pending watches end by their deadline, and a transport
// that is gone is only noticed through the tag's weak pointer.
class Watcher {
 public:
  static Watcher& Get() {
    static Watcher* watcher = new Watcher();
    return *watcher;
  }
  grpc::CompletionQueue* cq() { return &cq_; }

 private:
  Watcher() {
    std::thread([this] { Loop(); }).detach();
  }
  void Loop();

  grpc::CompletionQueue cq_;
};

// gRPC 1.51 shares one internal completion queue among every user of its callback API and
// tears it down when the last user goes; a new user arriving while the old queue's thread
// is still ending can make that thread drop a reference twice and abort the process. One
// channel that has made a callback call, kept for the life of the process, is such a user:
// the shared queue is then never torn down while the process runs.
struct HoldCall {
  grpc::ClientContext context;
  grpc::ByteBuffer request;
  grpc::ByteBuffer response;
  std::unique_ptr<grpc::GenericStub> stub;
};

void HoldCallbackQueueImpl() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Never destroyed on purpose (see above); reachable, so not a leak.
    static auto* holder = new std::shared_ptr<grpc::Channel>(
        grpc::CreateChannel("unix:/nonexistent/qbx-callback-queue-holder", grpc::InsecureChannelCredentials()));
    auto* call = new HoldCall;
    call->request = ToByteBuffer(std::string());
    call->stub = std::make_unique<grpc::GenericStub>(*holder);
    call->context.set_deadline(std::chrono::system_clock::now());
    call->stub->UnaryCall(&call->context, "/qbx.rpc.Hold/Hold", grpc::StubOptions(), &call->request,
                          &call->response, [call](grpc::Status) { delete call; });
  });
}

boost::system::error_code MakeError(boost::system::errc::errc_t e) {
  return boost::system::errc::make_error_code(e);
}

}  // namespace

struct GrpcTransport::State : std::enable_shared_from_this<GrpcTransport::State> {
  State(std::shared_ptr<Dispatcher> d, TransportOptions o) : dispatcher(d), options(std::move(o)) {}

  void OnWatch(const std::shared_ptr<Entry>& entry, bool changed, grpc_connectivity_state armed);
  // Called with mutex held.
  void ArmWatch(const std::shared_ptr<Entry>& entry, grpc_connectivity_state state);
  std::shared_ptr<grpc::Channel> MakeChannel(const std::string& target) const;
  // The forwarding peer's gRPC target, empty when none; called with mutex held.
  std::string ForwardingTargetLocked() const { return net::Endpoint(forwarding_endpoint).GrpcTarget(); }
  // Sends the local endpoints to the forwarding peer when everything needed is known.
  void SendRegistration();
  // A connection to the forwarding peer came up: registers again and watches its
  // destinations for as long as the connection stays open.
  void OnForwardingUp(const std::shared_ptr<Entry>& entry, const std::shared_ptr<Connection>& connection);

  const std::shared_ptr<Dispatcher> dispatcher;
  const TransportOptions options;
  mutable std::mutex mutex;  // guards everything below and the entries
  bool shutdown = false;
  std::string forwarding_endpoint = options.forwarding_endpoint;
  std::map<std::string, std::shared_ptr<Entry>> entries;
  std::string local_address;
  std::set<std::string> local_ids;
};

namespace {
struct RegistrationCall {
  grpc::ClientContext context;
  zumbra::qbx::rpc::LocalEndpointsMsg request;
  zumbra::qbx::rpc::LocalEndpointsAckMsg response;
  std::unique_ptr<zumbra::qbx::rpc::ForwardingRegistryService::Stub> stub;
};
}  // namespace

void GrpcTransport::State::SendRegistration() {
  auto call = std::make_shared<RegistrationCall>();
  std::string target;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (shutdown || local_address.empty() || local_ids.empty()) return;
    target = ForwardingTargetLocked();
    if (target.empty()) return;
    auto& entry = entries[target];
    if (!entry) {
      entry = std::make_shared<Entry>();
      entry->endpoint = net::Endpoint("tcp://" + target);
      entry->channel = MakeChannel(target);
    }
    call->stub = zumbra::qbx::rpc::ForwardingRegistryService::NewStub(entry->channel);
    call->request.set_address(local_address);
    for (const auto& id : local_ids) call->request.add_ids(id);
  }
  // Waits for the connection within the connect time-out; a connection made later sends
  // the registration again.
  call->context.set_wait_for_ready(true);
  call->context.set_deadline(Clock::now() + options.connect_timeout);
  QBX_RPC_LOG(loglevel::kDebug)
      .put("Registering %d local endpoint ids at %s with %s", call->request.ids_size(),
           call->request.address().c_str(), target.c_str());
  call->stub->async()->RegisterLocalEndpoints(&call->context, &call->request, &call->response,
                                               [call, target](grpc::Status status) {
                                                 if (!status.ok()) {
                                                   QBX_RPC_LOG(loglevel::kInfo)
                                                       .put("Local endpoint registration with %s failed: %s",
                                                            target.c_str(), status.error_message().c_str());
                                                 }
                                               });
}

void GrpcTransport::State::OnForwardingUp(const std::shared_ptr<Entry>& entry,
                                          const std::shared_ptr<Connection>& connection) {
  SendRegistration();
  auto watch = DestinationWatch::Start(entry->channel, connection);
  std::shared_ptr<DestinationWatch> replaced;
  bool current = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    current = !shutdown && entry->open == connection;
    if (current) {
      replaced = std::move(entry->destinations);
      entry->destinations = watch;
    }
  }
  if (replaced) replaced->Cancel();
  // The connection closed while the watch started: nothing is left to watch.
  if (!current) watch->Cancel();
}

void Watcher::Loop() {
  void* raw = nullptr;
  bool ok = false;
  while (cq_.Next(&raw, &ok)) {
    std::unique_ptr<WatchTag> tag(static_cast<WatchTag*>(raw));
    (void)tag->published.load(std::memory_order_acquire);
    try {
      if (auto state = tag->state.lock()) state->OnWatch(tag->entry, ok, tag->armed_state);
    } catch (const std::exception& e) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC101").put("Exception in connectivity watch: %s", e.what());
    } catch (...) {
      QBX_RPC_LOG(loglevel::kError).tag("errorCode:RPC101").put("Exception in connectivity watch");
    }
  }
}

std::shared_ptr<grpc::Channel> GrpcTransport::State::MakeChannel(const std::string& target) const {
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_CLIENT_IDLE_TIMEOUT_MS, INT_MAX);
  args.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, static_cast<int>(options.keepalive_time.count()));
  args.SetInt(GRPC_ARG_KEEPALIVE_TIMEOUT_MS, static_cast<int>(options.keepalive_timeout.count()));
  // A stock server counts every ping on a connection without calls as abuse.
  args.SetInt(GRPC_ARG_KEEPALIVE_PERMIT_WITHOUT_CALLS, 0);
  // A long-lived idle stream keeps being checked; the interval above keeps it polite.
  args.SetInt(GRPC_ARG_HTTP2_MAX_PINGS_WITHOUT_DATA, 0);
  args.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, static_cast<int>(options.min_reconnect_backoff.count()));
  args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, static_cast<int>(options.min_reconnect_backoff.count()));
  args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, static_cast<int>(options.max_reconnect_backoff.count()));
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  // gRPC's own retries replay a stream's buffered requests on a new connection; around a
  // peer's restart that replay can leave out a request in the middle of a batch that then
  // succeeds. Callers resend whole batches themselves, so a failed call must simply fail.
  args.SetInt(GRPC_ARG_ENABLE_RETRIES, 0);
  args.SetMaxReceiveMessageSize(options.max_message_bytes);
  args.SetMaxSendMessageSize(options.max_message_bytes);
  return grpc::CreateCustomChannel(target, grpc::InsecureChannelCredentials(), args);
}

void GrpcTransport::State::ArmWatch(const std::shared_ptr<Entry>& entry, grpc_connectivity_state state) {
  if (entry->watching) return;
  auto deadline = Clock::now() + (entry->waiters.empty() ? kOpenWatch : kWaitingWatch);
  for (const auto& w : entry->waiters) deadline = std::min(deadline, w.deadline);
  entry->watching = true;
  auto* tag = new WatchTag{weak_from_this(), entry, state};
  tag->published.store(true, std::memory_order_release);
  entry->channel->NotifyOnStateChange(state, deadline, Watcher::Get().cq(), tag);
}

void GrpcTransport::State::OnWatch(const std::shared_ptr<Entry>& entry, bool changed,
                                   grpc_connectivity_state armed) {
  std::shared_ptr<Connection> to_close;
  std::vector<std::pair<TransportInterface::ConnectHandler, boost::system::error_code>> failed;
  std::vector<TransportInterface::ConnectHandler> connected;
  std::shared_ptr<Connection> open;
  std::shared_ptr<DestinationWatch> watch_to_cancel;
  bool forwarding_up = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    entry->watching = false;
    if (shutdown) return;
    const grpc_connectivity_state now_state = entry->channel->GetState(true);
    // Leaving READY closes the connection, even when the channel is READY again by now.
    if (entry->open && ((changed && armed == GRPC_CHANNEL_READY) || now_state != GRPC_CHANNEL_READY)) {
      to_close = std::move(entry->open);
      entry->open.reset();
      watch_to_cancel = std::move(entry->destinations);
    }
    if (now_state == GRPC_CHANNEL_READY && !entry->open) {
      entry->open = std::make_shared<Connection>(entry->endpoint, entry->channel, dispatcher);
      forwarding_up = entry->endpoint.GrpcTarget() == ForwardingTargetLocked();
    }
    open = entry->open;
    const auto now = Clock::now();
    std::vector<Waiter> keep;
    for (auto& w : entry->waiters) {
      if (open) {
        connected.push_back(std::move(w.handler));
      } else if (w.deadline <= now) {
        failed.emplace_back(std::move(w.handler), MakeError(boost::system::errc::timed_out));
      } else {
        keep.push_back(std::move(w));
      }
    }
    entry->waiters.swap(keep);
    if (entry->open || !entry->waiters.empty()) ArmWatch(entry, now_state);
  }
  if (watch_to_cancel) watch_to_cancel->Cancel();
  if (to_close) to_close->Close(CloseReason::kConnectionLost);
  if (forwarding_up) OnForwardingUp(entry, open);
  for (auto& h : connected) {
    dispatcher->Post([h = std::move(h), open] { h(boost::system::error_code(), open); });
  }
  for (auto& [h, ec] : failed) {
    // Older clang cannot capture a structured binding in a lambda; capture a copy.
    const boost::system::error_code error = ec;
    dispatcher->Post([h = std::move(h), error] { h(error, nullptr); });
  }
}

// ---------------------------------------------------------------- GrpcTransport

void HoldCallbackQueue() { HoldCallbackQueueImpl(); }

GrpcTransport::GrpcTransport(std::shared_ptr<Dispatcher> dispatcher, TransportOptions options)
    : state_(std::make_shared<State>(dispatcher, std::move(options))) {
  HoldCallbackQueue();
}

GrpcTransport::~GrpcTransport() { Shutdown(); }

const TransportOptions& GrpcTransport::options() const { return state_->options; }

void GrpcTransport::SetForwardingEndpoint(const std::string& endpoint) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->forwarding_endpoint == endpoint) return;
    state_->forwarding_endpoint = endpoint;
  }
  state_->SendRegistration();
}

void GrpcTransport::AddLocalEndpointIds(const std::vector<std::string>& ids) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    size_t before = state_->local_ids.size();
    for (const auto& id : ids) {
      if (!id.empty()) state_->local_ids.insert(id);
    }
    if (state_->local_ids.size() == before) return;
  }
  state_->SendRegistration();
}

void GrpcTransport::SetLocalAddress(const std::string& address) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->local_address == address) return;
    state_->local_address = address;
  }
  state_->SendRegistration();
}

bool GrpcTransport::IsShutdown() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->shutdown;
}

void GrpcTransport::Shutdown() {
  std::vector<std::shared_ptr<Connection>> open;
  std::vector<std::shared_ptr<DestinationWatch>> watches;
  std::vector<TransportInterface::ConnectHandler> waiting;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->shutdown) return;
    state_->shutdown = true;
    for (auto& [target, entry] : state_->entries) {
      if (entry->destinations) watches.push_back(std::move(entry->destinations));
      if (entry->open) open.push_back(std::move(entry->open));
      for (auto& w : entry->waiters) waiting.push_back(std::move(w.handler));
      entry->waiters.clear();
    }
  }
  for (auto& w : watches) w->Cancel();
  for (auto& c : open) c->Close(CloseReason::kTransportShutdown);
  const boost::system::error_code ec(ESHUTDOWN, boost::system::generic_category());
  for (auto& h : waiting) state_->dispatcher->Post([h = std::move(h), ec] { h(ec, nullptr); });
}

void GrpcTransport::GetConnection(const net::Endpoint& endpoint, ConnectHandler handler) {
  auto& st = *state_;
  auto fail = [&st](ConnectHandler h, boost::system::errc::errc_t e) {
    const auto ec = MakeError(e);
    st.dispatcher->Post([h = std::move(h), ec] { h(ec, nullptr); });
  };
  std::string target;
  if (endpoint.is_tcp()) {
    target = endpoint.GrpcTarget();
  } else if (endpoint.is_forwarded()) {
    std::string forwarding;
    {
      std::lock_guard<std::mutex> lock(st.mutex);
      forwarding = st.forwarding_endpoint;
    }
    target = net::Endpoint(forwarding).GrpcTarget();
  }
  if (target.empty()) {
    QBX_RPC_LOG(loglevel::kWarning).put("No route to endpoint '%s'", endpoint.uri().c_str());
    fail(std::move(handler), boost::system::errc::invalid_argument);
    return;
  }
  std::shared_ptr<Connection> ready;
  std::shared_ptr<Entry> forwarding_entry;
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.shutdown) {
      // Reported below, outside the lock.
    } else {
      auto& entry = st.entries[target];
      if (!entry) {
        entry = std::make_shared<Entry>();
        entry->endpoint = net::Endpoint("tcp://" + target);
        entry->channel = st.MakeChannel(target);
      }
      const grpc_connectivity_state now_state = entry->channel->GetState(true);
      if (entry->open && entry->open->IsOpen() && now_state == GRPC_CHANNEL_READY) {
        ready = entry->open;
      } else if (!entry->open && now_state == GRPC_CHANNEL_READY) {
        entry->open = std::make_shared<Connection>(entry->endpoint, entry->channel, st.dispatcher);
        ready = entry->open;
        if (target == st.ForwardingTargetLocked()) forwarding_entry = entry;
        st.ArmWatch(entry, now_state);
      } else {
        entry->waiters.push_back(Waiter{std::move(handler), Clock::now() + st.options.connect_timeout});
        st.ArmWatch(entry, now_state);
        return;
      }
    }
  }
  if (!ready) {
    const boost::system::error_code ec(ESHUTDOWN, boost::system::generic_category());
    st.dispatcher->Post([h = std::move(handler), ec] { h(ec, nullptr); });
    return;
  }
  if (forwarding_entry) st.OnForwardingUp(forwarding_entry, ready);
  st.dispatcher->Post([h = std::move(handler), ready] { h(boost::system::error_code(), ready); });
}

}  // namespace rpc
}  // namespace qbx
