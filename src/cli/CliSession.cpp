#include "CliSession.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <netdb.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>

#include "CliFormat.h"
#include "CodePage.h"
#include "DataLog.h"
#include "BrokerLimits.h"
#include "MQTTLimits.h"
#include "SessionFile.h"
#include "TMQTTClient.h"
#include "ProxyUrl.h"
#include "TSslContext.h"
#include "TWSocket.h"
#include "TopicMatch.h"

namespace {
// The largest body whose whole packet (a byte of type, its remaining length,
// the body) fits in aPacketSize bytes.
std::int32_t LargestBody(std::size_t aPacketSize) {
  std::size_t best = 0;
  for (std::size_t lengthBytes = 1; lengthBytes <= 4; ++lengthBytes)
    if (aPacketSize > 1 + lengthBytes && VarIntSize(std::uint32_t(std::min<std::size_t>(
                                             aPacketSize - 1 - lengthBytes, MQTTMaxRemainingLength))) == lengthBytes)
      best = std::max(best, aPacketSize - 1 - lengthBytes);
  return std::int32_t(std::min<std::size_t>(best, MQTTMaxRemainingLength));
}


// Publishing from standard input pauses while this much is unsent.
constexpr std::size_t MaxUnsent = 1 << 20;
// How long a graceful disconnect may take before the program quits anyway.
constexpr int QuitGuardMs = 5000;
// How long after a connection attempt was started a socket that never left
// the closed state counts as an attempt that could not start.
constexpr int StartCheckMs = 500;
// log: a broker that keeps sending malformed packets is retried ever more
// slowly, doubling the client's usual wait up to this.
constexpr int MaxViolationDelayMs = 5 * 60 * 1000;

void PrintError(const std::string &message) {
  std::fprintf(stderr, "vyr-cli: %s\n", message.c_str());
  std::fflush(stderr);
}

bool Resolves(const std::string &host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  return true;
}

// Reads fd to its end, refusing more than limit bytes; errno on failure,
// EFBIG when there is more.
int ReadAll(int fd, std::size_t limit, std::string &out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (out.size() + std::size_t(n) > limit) return EFBIG;
    out.append(buf, std::size_t(n));
  }
}

// The largest payload one PUBLISH to this topic can carry.
std::size_t LargestPayload(const CliOptions &o) {
  const std::size_t id = o.Qos > 0 ? 2 : 0;
  return std::size_t(MQTTMaxRemainingLength) - 2 - o.Topics.front().size() - id;
}

} // namespace

CliSession::CliSession(CliOptions options)
    : FOptions(std::move(options)), FClient(std::make_unique<TMQTTClient>()),
      FTimeout(std::make_unique<QTimer>()), FQuitGuard(std::make_unique<QTimer>()) {
  FTimeout->setSingleShot(true);
  FQuitGuard->setSingleShot(true);
  connect(FTimeout.get(), &QTimer::timeout, this, [this] {
    const bool subWithoutCount = FOptions.Command == CliCommand::Sub && FOptions.Count == 0;
    if (subWithoutCount) {
      Finish(ExitOk);
      return;
    }
    Fail(ExitTimeout, "timed out after " + std::to_string(FOptions.TimeoutSec) + " s");
  });
  connect(FQuitGuard.get(), &QTimer::timeout, this, [this] { QuitNow(); });
  std::string problem;
  if (!FOptions.Format.empty()) FFormat = MessageFormat::Parse(FOptions.Format, problem);
}

CliSession::~CliSession() {
  if (FFolderLock >= 0) ::close(FFolderLock);
  if (FGroupLock >= 0) ::close(FGroupLock);
}

void CliSession::Start() {
  const CliOptions &o = FOptions;
  if (!ReadPayload() || !StartDataLog()) return;
  // Checked here, before the event loop runs, for a clear message; the link
  // looks the name up again for each attempt.
  std::string host = o.Host;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  // Through socks5h:// the proxy looks the name up, and it may know names we do not.
  TProxySettings proxy;
  std::string proxyError;
  if (!o.Proxy.empty()) ParseProxyUrl(o.Proxy, proxy, proxyError);  // checked with the command line
  if (o.Unix.empty() && !proxy.RemoteResolve && !Resolves(host)) return Fail(ExitConnection, "unknown host '" + o.Host + "'");

  TMQTTClient &c = *FClient;
  c.SetHost(o.Host);
  c.SetPort(o.EffectivePort());
  if (!o.ClientId.empty()) c.SetClientID(o.ClientId);
  c.SetUsername(o.Username);
  c.SetPassword(o.Password);
  c.SetKeepAlive(std::uint16_t(o.KeepAlive));
  c.SetClean(o.CleanSession);
  // A one-shot command connects at once; the window keeps the client's pause.
  c.SetFirstAttemptDelay(0);
  c.SetProtocolLevel(o.Mqtt5 ? plMQTT5 : o.Mqtt311 ? plMQTT311 : plMQTT31);
  // Lines to one topic go by alias after the first, where the broker allows (QoS 0).
  c.UseTopicAliases = o.Command == CliCommand::Pub;
  // What vyr-cli pub can send, sub and log can receive, unless told less.
  if (o.MaxPacketSize)
    c.Parser->MaxRxLength = LargestBody(std::size_t(o.MaxPacketSize));
  else if (o.Command != CliCommand::Pub)
    c.Parser->MaxRxLength = MQTTMaxRemainingLength;
  // Names may resolve to IPv6 and IPv4 addresses, tried in the resolver's order.
  c.Link->SetSocketFamily(sfAny);
  if (!o.WillTopic.empty()) c.SetWill(o.WillTopic, o.WillPayload, TMQTTQOSType(o.WillQos), o.WillRetain);
  if (o.Mqtt5) ApplyLevel5();
  // A plain close lets the system deliver what was written, DISCONNECT included.
  c.Link->SetLingerOnOff(wsLingerOff);
  if (!o.Unix.empty()) c.Link->SetUnixPath(o.Unix);
  if (proxy.Kind) c.Link->SetProxy(proxy);
  if (o.WebSocket) {
    c.Link->SetWsEnable(true);
    c.Link->WsSettings().Path = o.WsPath;
    c.Link->WsSettings().Headers = o.WsHeaders;
  }
  if (o.Tls) {
    FSslContext = std::make_unique<TSslContext>();
    TSslContext &tls = *FSslContext;
    tls.SslVerifyPeer = !o.Insecure;
    tls.SslCAFile = o.CaFile;
    tls.SslCAPath = o.CaPath;
    tls.SslCertFile = o.CertFile;
    tls.SslPrivKeyFile = o.KeyFile;
    tls.SslAlpn = o.Alpn;
    if (o.TlsMinVersion == 0x0303) tls.SslMinVersion = sslVerTLS1_2;
    if (o.TlsMinVersion == 0x0304) tls.SslMinVersion = sslVerTLS1_3;
    // Unreadable files are reported now rather than as a failed handshake.
    try {
      tls.InitContext();
    } catch (const ESslContextException &e) {
      return Fail(ExitUsage, e.what());
    }
    // The name goes out even unverified: brokers behind one address may need it.
    if (o.Insecure) c.Link->SetSslServerName(host);
    c.Link->SetSslContext(FSslContext.get());
    c.Link->SetSslEnable(true);
  }
  // A persistent session may hold unreleased identifiers of another run
  // (which count against the broker's quota): start with one message in
  // flight and grow by one per completed one.
  FWindowCap = o.EffectiveMaxInflight();
  FWindow = Persistent() ? 1 : FWindowCap;
  // Such a session is where a PUBREC may be a refusal: it must not complete
  // a message the broker never took.
  c.SetConfirmPubRec(Persistent());
  if (Persistent() && (!o.SessionFile.empty() || !o.ClientId.empty())) {
    const std::string path = o.SessionFile.empty() ? DefaultSessionFile(o.ClientId) : o.SessionFile;
    auto file = std::make_unique<TSessionFile>();
    std::string error, note;
    if (file->Open(path, {o.Host, o.EffectivePort(), o.ClientId, c.ProtocolLevel()}, *c.InFlight, c.RetryTime(), o.SessionMoveAside,
                   error, note) != TSessionLoad::Loaded)
      return Fail(ExitSession, "session file not used: " + error);
    if (!note.empty()) PrintError("session file not used: " + note);
    FSessionFile = std::move(file);
    FOldExchanges = c.InFlight->Count() > 0;
    ResumeInFlight();
  }
  WireClient();
  if (o.TimeoutSec > 0) FTimeout->start(o.TimeoutSec * 1000);
  c.Activate(true);
}

// -x and the -D properties: those the client works out itself (session
// expiry, receive maximum, packet size, topic aliases) go through its
// settings, so that it also keeps to them; the rest go out as given.
void CliSession::ApplyLevel5() {
  const CliOptions &o = FOptions;
  TMQTTClient &c = *FClient;
  c.SessionExpiry = o.SessionExpiry;
  for (const TMQTTProperty &p : o.ConnectProps) switch (p.ID) {
    case piSessionExpiryInterval:
      c.SessionExpiry = p.Number;
      break;
    case piReceiveMaximum:
      c.SetMaxReleasables(int(p.Number));
      break;
    case piTopicAliasMaximum:
      c.TopicAliasMaximum = std::uint16_t(p.Number);
      break;
    case piMaximumPacketSize: {
      // The largest body whose whole packet stays within it.
      std::size_t body = p.Number > 2 ? p.Number - 2 : 0;
      while (body > 0 && PacketSize(body) > p.Number) --body;
      c.Parser->MaxRxLength = std::int32_t(std::min<std::size_t>(body, MQTTMaxRemainingLength));
      break;
    }
    case piUserProperty:
      c.ConnectUserProperties.push_back(p);
      break;
    default:
      c.MoreConnectProperties.push_back(p);
    }
  c.DisconnectProperties = o.DisconnectProps;
  c.Parser->WillProperties = o.WillProps;
  FPublishProps = o.PublishProps;
  if (o.Command == CliCommand::Rr) {
    FPublishProps.push_back(TextProperty(piResponseTopic, o.ResponseTopic));
    if (const TMQTTProperty *given = FindProperty(FPublishProps, piCorrelationData))
      FCorrelation = given->Text;
    else {
      // Ours, unless given: a response carrying another belongs to someone else's request.
      std::random_device random;
      char text[40];
      std::snprintf(text, sizeof text, "vyr-cli-%08x%08x", random(), random());
      FCorrelation = text;
      FPublishProps.push_back(TextProperty(piCorrelationData, FCorrelation));
    }
  }
  FSubscribeOptions.NoLocal = o.NoLocal;
  FSubscribeOptions.RetainAsPublished = o.RetainAsPublished;
  FSubscribeOptions.RetainHandling = std::uint8_t(o.RetainHandling);
  for (const TMQTTProperty &p : o.SubscribeProps)
    if (p.ID == piSubscriptionIdentifier)
      FSubscribeOptions.Identifier = p.Number;
    else
      FSubscribeOptions.UserProperties.push_back(p);
}

// The message of -m, -f, -s and -n, checked against what one packet can carry
// before anything is sent.
bool CliSession::ReadPayload() {
  const CliOptions &o = FOptions;
  switch (o.Source) {
  case PayloadSource::Message:
    FPayload = o.Message;
    return true;
  case PayloadSource::File: {
    const int fd = ::open(o.Message.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      Fail(ExitConnection, "cannot read file '" + o.Message + "': " + std::strerror(errno));
      return false;
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // Too large by its size alone: refused without reading it.
    const bool tooLarge = regular && std::size_t(st.st_size) > LargestPayload(o);
    const int err = !regular ? 0 : tooLarge ? EFBIG : ReadAll(fd, LargestPayload(o), FPayload);
    ::close(fd);
    if (!regular) {
      Fail(ExitUsage, "'" + o.Message + "' is not a regular file; -f publishes the contents of a file");
      return false;
    }
    if (err == EFBIG) {
      Fail(ExitUsage, CheckPublishSize(o.Topics.front().size(), std::size_t(st.st_size), TMQTTQOSType(o.Qos)) +
                          " (file '" + o.Message + "')");
      return false;
    }
    if (err != 0) {
      Fail(ExitConnection, "cannot read file '" + o.Message + "': " + std::strerror(err));
      return false;
    }
    return true;
  }
  case PayloadSource::Stdin:
    if (const int err = ReadAll(STDIN_FILENO, LargestPayload(o), FPayload)) {
      if (err == EFBIG)
        Fail(ExitUsage, "standard input holds more than " + std::to_string(LargestPayload(o)) +
                            " bytes, the most one MQTT packet to this topic can carry");
      else
        Fail(ExitConnection, std::string("cannot read standard input: ") + std::strerror(err));
      return false;
    }
    return true;
  default:
    return true;
  }
}

namespace {
// The group of a shared subscription ("$share/GROUP/filter") when every
// filter is one of the same group; empty otherwise.
std::string ShareGroup(const std::vector<std::string> &filters) {
  static const std::string share = "$share/";
  std::string group;
  for (const auto &f : filters) {
    const std::size_t end = f.find('/', share.size());
    if (f.rfind(share, 0) != 0 || end == std::string::npos) return {};
    const std::string g = f.substr(share.size(), end - share.size());
    if (!group.empty() && g != group) return {};
    group = g;
  }
  return group;
}
} // namespace

// Two loggers on one folder would write every line twice: a lock on the
// folder itself keeps a second one off, except where both take their share of
// one shared subscription (the broker hands each message to one of them);
// those hold it shared, and a small file in the runtime folder, named after
// the data folder's identity, says which group holds it.
bool CliSession::LockDataFolder(const std::string &folder) {
  const auto refuse = [this](const std::string &why) {
    Fail(ExitConnection, "another vyr-cli log writes to the data folder '" + FOptions.DataDir + "'" + why +
                             "; a second would write every line twice");
    return false;
  };
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st {};
  if (dir < 0 || ::fstat(dir, &st) != 0) {
    Fail(ExitConnection, "cannot lock the data folder '" + FOptions.DataDir + "': " + std::strerror(errno));
    if (dir >= 0) ::close(dir);
    return false;
  }
  const std::string group = ShareGroup(FOptions.Topics);
  if (::flock(dir, (group.empty() ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    ::close(dir);
    return refuse("");
  }
  FFolderLock = dir;
  if (group.empty()) return true;

  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string path = std::string(runtime && *runtime ? runtime : "/tmp") + "/vyr-cli-log-" +
                           std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino) + ".group";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return refuse(" (cannot open " + path + ": " + std::strerror(errno) + ")");
  const auto heldGroup = [fd] {
    char buf[256];
    const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
  };
  bool ours;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
    // First of its group: name the group, then let others of it in.
    ours = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, group.data(), group.size(), 0) == ssize_t(group.size()) &&
           ::flock(fd, LOCK_SH | LOCK_NB) == 0 && heldGroup() == group;
  else
    ours = ::flock(fd, LOCK_SH | LOCK_NB) == 0 && heldGroup() == group;
  if (!ours) {
    const std::string held = heldGroup();
    ::close(fd);
    return refuse(held.empty() ? std::string() : " for the shared subscription group '" + held + "'");
  }
  FGroupLock = fd;
  return true;
}

// log: the data files, in a folder made now so that a wrong path is found
// before anything is received.
bool CliSession::StartDataLog() {
  if (FOptions.Command != CliCommand::Log) return true;
  const QString folder = QDir(QString::fromLocal8Bit(FOptions.DataDir.c_str())).absolutePath();
  if (!QDir().mkpath(folder)) {
    Fail(ExitConnection, "cannot create the data folder '" + FOptions.DataDir + "'");
    return false;
  }
  if (!LockDataFolder(QFile::encodeName(folder).toStdString())) return false;
  FDataLog = std::make_unique<TDataLog>(DataFilesOpenAtOnce());
  FDataLog->SetFolder(folder);
  FDataLog->SetCreateFolder(true);
  FDataLog->OnProblem = [this](const QString &problem) {
    PrintError(problem.toLocal8Bit().toStdString() + "; " + std::to_string(FDataLog->Waiting()) +
               " line(s) kept in order, retrying every second");
  };
  FDataLog->OnResumed = [this] {
    PrintError("data files written again; every kept line is saved");
    if (std::exchange(FBacklogFull, false)) FClient->PauseReceiving(false);
  };
  // The broker lets go of a QoS 1 message once acknowledged: only after its
  // line has been handed to the system (or kept for a retry).
  FClient->SetAckAfterDelivery(true);
  return true;
}

void CliSession::WireClient() {
  TMQTTClient &c = *FClient;
  TWSocket &link = *c.Link;

  Monitor(true);
  c.OnOnline = [this](TMQTTClient *) { ClientOnline(); };
  c.OnMsg = [this](TMQTTClient *, const std::string &topic, const std::string &payload, TMQTTQOSType qos,
                   bool retained) { ClientMsg(topic, payload, qos, retained); };
  c.OnAccept = [this](TMQTTClient *, const std::string &topic, bool retained) { return Accept(topic, retained); };
  // What was printed is out before its acknowledgement: a subscriber killed
  // then loses nothing the broker has let go of. Once per slice of received
  // packets, so a flood still costs one write per slice.
  if (FOptions.Command == CliCommand::Sub || FOptions.Command == CliCommand::Rr)
    c.OnAcknowledging = [](TMQTTClient *) { std::fflush(stdout); };
  // Never silent: the message was acknowledged, so the broker will not send it again.
  c.OnSkipped = [this](TMQTTClient *, const std::string &topic, std::size_t size, TMQTTQOSType) {
    PrintError("message on '" + topic + "' skipped: " + std::to_string(size) + " bytes is above the limit of " +
               std::to_string(FClient->Parser->MaxRxLength) + " bytes");
  };
  // Only 3.1.1 brokers refuse a filter; the others still deliver.
  c.OnSubRefused = [this](TMQTTClient *, const std::string &topic) {
    const std::string &why = FClient->SubRefusedReason();
    PrintError("the broker refused the subscription to " + topic + (why.empty() ? "" : ": " + why));
    FRefused.insert(topic);
    if (FRefused.size() == FOptions.Topics.size()) Fail(ExitRefused, "the broker refused every subscription");
  };
  // Level 5: refusals and the broker's DISCONNECT name their reason.
  // A refusal ends only that request: the run goes on and ends with its code.
  c.OnRefused = [this](TMQTTClient *, const std::string &what, std::uint8_t, const std::string &text) {
    PrintError(what + " refused: " + text);
    if (FRefusedExit == ExitOk)
      FRefusedExit = what.starts_with("SUBSCRIBE") || what.starts_with("UNSUBSCRIBE") ? ExitSubscribeRefused
                                                                                         : ExitPublishRefused;
  };
  // log reconnects, as after any lost connection.
  c.OnBrokerDisconnect = [this](TMQTTClient *, std::uint8_t, const std::string &text) {
    if (FOptions.Command == CliCommand::Log) return PrintError("the broker disconnected: " + text);
    Fail(ExitBrokerDisconnect, "the broker disconnected: " + text);
  };
  c.OnProtocolViolation = [this](TMQTTClient *, const std::string &reason) { ProtocolViolation(reason); };
  c.OnFailure = [this](TMQTTClient *, std::int32_t, bool &closeClient) {
    closeClient = false; // Finish disconnects properly
    Fail(ExitDelivery, "a packet was not acknowledged after " + std::to_string(FClient->MaxRetries()) + " retries");
  };

  // The client handles these events itself; the program listens in after it.
  auto connAck = c.Parser->OnConnAck;
  c.Parser->OnConnAck = [this, connAck](TMQTTParser *sender, std::uint8_t code) {
    if (connAck) connAck(sender, code);
    if (code == 0) return;
    std::string why = ConnAckText(code, FClient->ProtocolLevel());
    if (const TMQTTPropertyView *text = FindProperty(sender->RxProperties, piReasonString))
      why += " (" + std::string(text->Text) + ")";
    Fail(ExitRefused, "the broker refused the connection: " + why);
  };
  // An answer that ends an exchange: the client's handler first, then ours.
  const auto thenCall = [this](auto &event, void (CliSession::*ours)()) {
    event = [this, clients = event, ours](const auto &...answer) {
      if (clients) clients(answer...);
      (this->*ours)();
    };
  };
  if (FSessionFile) {
    // Every exchange that starts or moves on (a PUBLISH, a PUBREL) goes to the file.
    auto send = c.Parser->OnSend;
    c.Parser->OnSend = [this, send](TMQTTParser *sender, std::uint16_t id, std::int32_t retry, TByteStream &bytes) {
      send(sender, id, retry, bytes);
      ScheduleSessionSave();
    };
  }
  thenCall(c.Parser->OnPubAck, &CliSession::Completed);
  thenCall(c.Parser->OnPubComp, &CliSession::Completed);
  // A subscriber may reach its count before the broker answers its SUBSCRIBE
  // or UNSUBSCRIBE (a persistent session's queued messages come first): the
  // answer empties what is in flight and lets it end.
  thenCall(c.Parser->OnSubAck, &CliSession::SubscribeAcknowledged);
  thenCall(c.Parser->OnUnsubAck, &CliSession::Acknowledged);

  auto connected = link.OnSessionConnected;
  link.OnSessionConnected = [this, connected](TWSocket *sender, std::uint16_t err) {
    FAttemptAnswered = true;
    if (connected) connected(sender, err);
    if (err != 0 && !FWasOnline)
      Fail(ExitConnection, "cannot connect to " + Where() +
                               ": " + (sender->ProxyFailure().empty() ? WSocketErrorDesc(err)
                                                                      : "proxy: " + sender->ProxyFailure()));
  };
  auto closed = link.OnSessionClosed;
  link.OnSessionClosed = [this, closed](TWSocket *sender, std::uint16_t err) {
    if (closed) closed(sender, err);
    sender->SetLingerOnOff(wsLingerOff); // a close resets it; for the next connection
    if (FFinishing) return QuitNow();
    Monitor(true);
    if (const TSslFailure tls = sender->SslFailureKind(); tls != sfNone && tls != sfOther)
      return Fail(tls == sfNoCommonVersion ? ExitConnection : ExitTlsVerify, "TLS: " + sender->SslFailure());
    std::string reason = err ? ": " + WSocketErrorDesc(err) : std::string();
    if (!sender->WsFailure().empty()) reason = ": WebSocket: " + sender->WsFailure();
    if (!FCloseReason.empty()) reason = ": " + std::exchange(FCloseReason, {});
    if (std::exchange(FViolationClose, false)) return; // reported, once per change of reason
    if (FViolations > 0) {
      FViolations = 0;
      FViolation.clear();
      FClient->SetReconnectDelay(TMQTTClient::DefaultReconnectDelay);
    }
    if (!FWasOnline) return Fail(ExitConnection, "the connection closed before the broker accepted it" + reason);
    if (FOptions.Command == CliCommand::Pub && !Persistent()) return Fail(ExitConnection, "connection lost" + reason);
    // A broker that drops a publisher with QoS 2 messages in flight may hold
    // unreleased identifiers of an earlier run and refuse more than its quota:
    // start again with one message in flight and let the window grow back.
    const TMQTTPacketStore &inFlight = *FClient->InFlight;
    for (int i = 0; i < inFlight.Count(); ++i)
      if (const TMQTTPacket *p = inFlight.GetItem(i); !p->Msg.Empty() && ((p->Msg.Data()[0] >> 1) & 3) == 2) {
        // The window that was dropped is past the quota left: stay below it.
        FWindowCap = std::max(1, std::min(FWindowCap, FWindow - 1));
        FWindow = 1;
        break;
      }
    ResumeInFlight();
    PrintError("connection lost" + reason + "; reconnecting");
  };
}

// Monitor lines are wanted for --debug, and while offline to see connection
// attempts start. Online and without --debug nobody reads them, and the client
// does not even build them then.
void CliSession::Monitor(bool offline) {
  if (!offline && !FOptions.Debug) {
    FClient->OnMon = nullptr;
    return;
  }
  FClient->OnMon = [this](TMQTTClient *, const std::string &line) {
    if (FOptions.Debug) {
      std::fwrite(line.data(), 1, line.size(), stderr);
      std::fputc('\n', stderr);
    }
    // The client's reason for giving up a link, for the message that follows the close.
    static const std::string givingUp = "; closing the connection.";
    if (line.size() > givingUp.size() && line.compare(line.size() - givingUp.size(), givingUp.size(), givingUp) == 0)
      FCloseReason = line.substr(0, line.size() - givingUp.size());
    if (line.rfind("Connecting to ", 0) == 0) {
      const int attempt = ++FAttempts;
      FAttemptAnswered = false;
      QTimer::singleShot(StartCheckMs, this, [this, attempt] { CheckStartFailed(attempt); });
    }
  };
}

// The broker sent what the protocol does not allow; nothing of it was
// delivered or acknowledged. sub and pub end, as mosquitto's clients do; log
// is a service and tries again, ever more slowly while the broker persists.
void CliSession::ProtocolViolation(std::string reason) {
  static const std::string violation = "protocol violation: ";
  if (reason.rfind(violation, 0) == 0) reason.erase(0, violation.size());
  if (FOptions.Command != CliCommand::Log) return Fail(ExitProtocol, "protocol error: " + reason);
  FViolationClose = true;
  ++FViolations;
  const int delay = std::min<long long>(MaxViolationDelayMs, static_cast<long long>(TMQTTClient::DefaultReconnectDelay)
                                                                << std::min(FViolations - 1, 16));
  FClient->SetReconnectDelay(delay);
  if (reason == FViolation) return;
  FViolation = reason;
  PrintError("protocol error: " + reason + "; reconnecting, waiting longer each time while it lasts");
}

std::string CliSession::Where() const {
  if (!FOptions.Unix.empty()) return "the socket " + FOptions.Unix;
  return FOptions.Host + " port " + std::to_string(FOptions.EffectivePort());
}

bool CliSession::Persistent() const { return FOptions.Command == CliCommand::Pub && !FOptions.CleanSession; }

// A publication finished: the window grows back by one, up to its limit.
void CliSession::Completed() {
  ScheduleSessionSave();
  FWindow = std::min(FWindow + 1, FWindowCap);
  if (Persistent()) UnparkInFlight();
  if (FOldExchanges && FClient->InFlight->Count() == 0) {
    FOldExchanges = false;
    StartPublishing();
  }
  Acknowledged();
}

// The next connection of a persistent publisher takes up what is in flight:
// up to the window's worth goes out again (at 3.1 at the first retry sweep,
// at 3.1.1 with the CONNACK), as a fresh exchange on that connection; the
// rest waits, parked, until earlier ones finish.
void CliSession::ResumeInFlight() {
  TMQTTPacketStore &inFlight = *FClient->InFlight;
  int active = 0;
  for (int i = 0; i < inFlight.Count(); ++i) {
    TMQTTPacket *p = inFlight.GetItem(i);
    p->Retries = 0;
    p->Counter = 1;
    p->Parked = active >= FWindow;
    active += !p->Parked;
  }
}

void CliSession::UnparkInFlight() {
  TMQTTPacketStore &inFlight = *FClient->InFlight;
  int active = 0;
  std::vector<std::uint16_t> parked;
  for (int i = 0; i < inFlight.Count(); ++i)
    if (inFlight.GetItem(i)->Parked)
      parked.push_back(inFlight.GetItem(i)->ID);
    else
      ++active;
  // At 3.1.1 an entry unparked online goes out at once, as a new entry at the end.
  for (std::size_t i = 0; i < parked.size() && active < FWindow; ++i, ++active)
    if (TMQTTPacket *p = inFlight.GetPacket(parked[i])) FClient->Unpark(p);
}

// rr: the response topic is subscribed; the request goes out.
void CliSession::SubscribeAcknowledged() {
  if (FOptions.Command == CliCommand::Rr && !FPublishStarted && !FFinishing) StartPublishing();
  Acknowledged();
}

// Room for more publications: an acknowledgement arrived or the send queue drained.
void CliSession::Acknowledged() {
  if (FSubscriberDone && !FFinishing) return FinishSubscriber();
  if (FStdin && !FInputDone && !FFinishing) PumpLines();
  if (std::exchange(FRepeatBlocked, false)) PublishRepeated();
  CheckPublishDone();
}

// Asks the link for one OnDataSent once everything queued has gone to the
// system. Only on demand: the link posts an event for every drained queue.
void CliSession::WatchDrain() {
  TWSocket &link = *FClient->Link;
  if (link.OnDataSent || link.BufferedByteCount() == 0) return;
  link.OnDataSent = [this](TWSocket *sender, std::uint16_t) {
    sender->OnDataSent = nullptr;
    Acknowledged();
  };
}

// A connection attempt whose Connect failed at once leaves the link closed
// with no event at all, and the client would wait for ever.
void CliSession::CheckStartFailed(int attempt) {
  if (attempt == FAttempts && !FAttemptAnswered && !FFinishing && FClient->Enabled() &&
      FClient->Link->State() == wsClosed)
    Fail(ExitConnection, "cannot connect to " + Where());
}

void CliSession::ClientOnline() {
  const bool first = !FWasOnline;
  FWasOnline = true;
  Monitor(false);
  if (first)
    for (const auto &filter : FOptions.Unsubscribe) {
      const TTaggedStrings one = {{filter, 0}};
      FClient->Unsubscribe(&one, FOptions.UnsubscribeProps);
    }
  if (FOptions.Command == CliCommand::Rr) {
    // The request goes out once the broker has the subscription for its answer
    // (after a reconnection the subscription is made again, the request not).
    const TTaggedStrings response = {{FOptions.ResponseTopic, FOptions.Qos}};
    return FClient->Subscribe(&response, FSubscribeOptions);
  }
  if (FOptions.Command != CliCommand::Pub) {
    // Every filter in one SUBSCRIBE, one round trip, after every accepted
    // CONNACK so that a reconnection subscribes again; the SUBACK names each
    // refused filter by its place in the packet.
    if (FOptions.Topics.empty()) return;
    TTaggedStrings filters;
    for (const auto &topic : FOptions.Topics) filters.push_back({topic, FOptions.Qos});
    return FClient->Subscribe(&filters, FSubscribeOptions);
  }
  // What waited for the link goes on; and an input that ended while offline
  // may leave nothing in flight whose acknowledgement would end the run.
  if (FPublishStarted) return Acknowledged();
  if (!FOldExchanges) StartPublishing();
}

void CliSession::StartPublishing() {
  FPublishStarted = true;
  if (FOptions.Source == PayloadSource::Lines) {
    FStdin = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(FStdin.get(), &QSocketNotifier::activated, this, [this] { ReadLines(); });
    return;
  }
  PublishRepeated();
}

// The one message, --repeat times, --repeat-delay apart.
void CliSession::PublishRepeated() {
  if (FFinishing) return;
  // Repetitions respect the in-flight window like lines of -l do.
  if (Congested()) {
    FRepeatBlocked = true;
    return;
  }
  FClient->Publish(FOptions.Topics.front(), FPayload, TMQTTQOSType(FOptions.Qos), FOptions.Retain, FPublishProps);
  if (++FPublished < FOptions.Repeat) {
    if (!FRepeatTimer) {
      FRepeatTimer = std::make_unique<QTimer>();
      FRepeatTimer->setSingleShot(true);
      connect(FRepeatTimer.get(), &QTimer::timeout, this, [this] { PublishRepeated(); });
    }
    FRepeatTimer->start(int(std::lround(FOptions.RepeatDelay * 1000)));
    return;
  }
  FInputDone = true;
  CheckPublishDone();
}

void CliSession::ReadLines() {
  char buf[65536];
  // One read per notification: it never blocks, whatever standard input is.
  ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    return Fail(ExitConnection, "cannot read standard input");
  }
  // Only a partial line is left at this point: drop what was published.
  FPending.erase(0, FPendingPos);
  FNoNewlineBefore -= std::min(FNoNewlineBefore, FPendingPos);
  FPendingPos = 0;
  if (n == 0)
    FStdinEnded = true;
  else
    FPending.append(buf, std::size_t(n));
  // Input is read only while no complete line waits, so the first pending
  // line is the one growing: once it has outgrown one packet it is refused,
  // before it grows memory any further.
  if (const std::size_t nl = NextNewline();
      FPending.size() - FPendingPos > LargestPayload(FOptions) &&
      (nl == std::string::npos || nl - FPendingPos > LargestPayload(FOptions))) {
    return Fail(ExitUsage, "line " + std::to_string(FLineNo + 1) + " of standard input is longer than " +
                               std::to_string(LargestPayload(FOptions)) +
                               " bytes, the most one MQTT packet to this topic can carry");
  }
  PumpLines();
  CheckPublishDone();
}

// Publishes the complete lines read so far while the broker keeps up; reads
// more input only when no complete line is left.
void CliSession::PumpLines() {
  const std::string &topic = FOptions.Topics.front();
  const auto qos = TMQTTQOSType(FOptions.Qos);
  while (!Congested()) {
    std::size_t nl = NextNewline();
    if (nl == std::string::npos) {
      if (FStdinEnded) {
        // A last line without a newline is a message too.
        if (FPendingPos < FPending.size()) {
          ++FLineNo;
          FClient->Publish(topic, FPending.substr(FPendingPos), qos, FOptions.Retain, FPublishProps);
        }
        FPending.clear();
        FNoNewlineBefore = 0;
        FPendingPos = 0;
        FInputDone = true;
        FStdin->setEnabled(false);
        return;
      }
      break;
    }
    ++FLineNo;
    FClient->Publish(topic, FPending.substr(FPendingPos, nl - FPendingPos), qos, FOptions.Retain, FPublishProps);
    FPendingPos = nl + 1;
  }
  const bool haveLine = NextNewline() != std::string::npos;
  FStdin->setEnabled(!haveLine && !FStdinEnded);
}

// The end of the first pending line. A long line arrives over many reads:
// only what came since the last look is searched, not the whole line again.
std::size_t CliSession::NextNewline() {
  const std::size_t nl = FPending.find('\n', std::max(FPendingPos, FNoNewlineBefore));
  FNoNewlineBefore = nl == std::string::npos ? FPending.size() : nl;
  return nl;
}

bool CliSession::Congested() {
  // Offline, a publication would be dropped: the lines wait for the next connection.
  if (!FClient->Online()) return true;
  if (FClient->Link->BufferedByteCount() >= MaxUnsent) {
    WatchDrain();
    return true;
  }
  return FClient->InFlight->Count() >= FWindow;
}

// What is in flight stays in the broker's session: the file keeps it for the
// next run, whatever ends this one.
bool CliSession::SaveSession() {
  if (!FSessionFile) return true;
  std::string error;
  if (FSessionFile->Save(*FClient->InFlight, error)) return true;
  PrintError("cannot save the session: " + error);
  return false;
}

// Once per pass of the event loop however many exchanges moved in it: a
// flood of acknowledgements costs one rewrite, not one per message.
void CliSession::ScheduleSessionSave() {
  if (!FSessionFile || std::exchange(FSessionSaveQueued, true)) return;
  QTimer::singleShot(0, this, [this] {
    FSessionSaveQueued = false;
    SaveSession();
  });
}

void CliSession::CheckPublishDone() {
  if (FOptions.Command != CliCommand::Pub || !FPublishStarted || !FInputDone || FFinishing) return;
  if (FClient->InFlight->Count() != 0 || FClient->HeldPublications() != 0) return;
  // Closing drops what the link has not handed to the system yet.
  if (FClient->Link->BufferedByteCount() != 0) return WatchDrain();
  Finish(ExitOk);
}

bool CliSession::Excluded(const std::string &topic) const {
  if (FOptions.Command == CliCommand::Rr) {
    // A response to another request carries other correlation data; a
    // responder that cannot echo it (a shell pipe) sends none.
    const TMQTTProperty *correlation = FindProperty(FClient->MessageProperties(), piCorrelationData);
    return correlation && correlation->Text != FCorrelation;
  }
  for (const auto &filter : FOptions.Excluded)
    if (MatchTopic(filter, topic)) return true;
  return false;
}

// Asked before a message is acknowledged. Messages past the -C count, or after
// --retained-only has met its first live message, are left with the broker.
bool CliSession::Accept(const std::string &topic, bool retained) {
  // log writes whatever it has read, also while it finishes.
  if (FOptions.Command == CliCommand::Log) return true;
  if (FFinishing) return false;
  if (FOptions.RetainedOnly && !retained) {
    QTimer::singleShot(0, this, [this] { FinishSubscriber(); });
    return false;
  }
  const bool printed = !Excluded(topic) && !(FOptions.SkipRetained && retained);
  if (!printed || FOptions.Count == 0) return true;
  if (FAccepted >= FOptions.Count) return false;
  ++FAccepted;
  return true;
}

void CliSession::ClientMsg(const std::string &topic, const std::string &payload, int qos, bool retained) {
  if (Excluded(topic)) return;
  if (FDataLog) {
    // As the window saves: an empty message is never saved.
    if (!payload.empty())
      FDataLog->AddPayload(QString::fromUtf8(topic.data(), qsizetype(topic.size())), payload, TCodePage::Ansi());
    CheckBacklog();
    return;
  }
  if (FOptions.SkipRetained && retained) return;
  if (FOptions.Count > 0 && FReceived >= FOptions.Count) return;
  if (FOptions.RemoveRetained && retained && !payload.empty())
    FClient->Publish(topic, std::string(), TMQTTQOSType(FOptions.Qos), true);
  PrintMsg(topic, payload, qos, retained);
  if (FOptions.Count > 0 && ++FReceived == FOptions.Count)
    // Later, so that the acknowledgement of this message goes out first.
    QTimer::singleShot(0, this, [this] { FinishSubscriber(); });
}

// The clearing publications of --remove-retained are delivered before the end.
void CliSession::FinishSubscriber() {
  FSubscriberDone = true;
  if (FClient->InFlight->Count() > 0) return; // Acknowledged comes back here
  if (FClient->Link->BufferedByteCount() != 0) return WatchDrain();
  Finish(ExitOk);
}

void CliSession::PrintMsg(const std::string &topic, const std::string &payload, int qos, bool retained) {
  if (FFormat) {
    const TMQTTProperties &props = FClient->MessageProperties();
    CliMessage m{topic, payload, qos, retained, qos > 0 ? FClient->DeliveredID() : std::uint16_t(0), {}, {}, &props};
    if (!props.empty())
      m.Property = [&props](char conversion, std::string &text) { return PropertyConversion(props, conversion, text); };
    ::clock_gettime(CLOCK_REALTIME, &m.Received);
    std::string problems;
    const std::string text = FFormat->Format(m, problems);
    if (!problems.empty()) std::fputs(problems.c_str(), stderr);
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else if (FOptions.Verbose && payload.empty()) {
    // As mosquitto_sub shows an empty message: as "(null)" on a line, or not at all without newlines.
    if (FOptions.NoNewline) return;
    std::fwrite(topic.data(), 1, topic.size(), stdout);
    std::fputs(" (null)", stdout);
  } else {
    if (FOptions.Verbose) {
      std::fwrite(topic.data(), 1, topic.size(), stdout);
      std::fputc(' ', stdout);
    }
    std::fwrite(payload.data(), 1, payload.size(), stdout);
  }
  if (!FOptions.NoNewline) std::fputc('\n', stdout);
}

// Held lines are memory: at the bound, nothing more is read (and so nothing
// more acknowledged) until they are written; the broker keeps the rest.
void CliSession::CheckBacklog() {
  if (FBacklogFull || FDataLog->Waiting() < std::size_t(FOptions.Backlog)) return;
  FBacklogFull = true;
  FClient->PauseReceiving(true);
  PrintError(std::to_string(FDataLog->Waiting()) +
             " line(s) held, the bound of --backlog: nothing more is read from the broker until they are written");
}

void CliSession::ReopenDataFiles() {
  if (FDataLog) FDataLog->Reopen();
}

// Every line received is written before the program ends, or counted as lost.
int CliSession::FinishLog() {
  if (!FDataLog || FDataLog->Retry()) return FExit;
  PrintError(std::to_string(FDataLog->Waiting()) + " received line(s) could not be written and are lost");
  return ExitConnection;
}

void CliSession::Fail(CliExit code, const std::string &message) {
  if (FFinishing) return;
  PrintError(message);
  Finish(code);
}

void CliSession::Finish(CliExit code) {
  if (FFinishing) return;
  FFinishing = true;
  FExit = code == ExitOk ? FRefusedExit : code;
  FTimeout->stop();
  if (FStdin) FStdin->setEnabled(false);
  if (FRepeatTimer) FRepeatTimer->stop();
  std::fflush(stdout);
  if (FClient->Enabled()) FClient->Activate(false); // DISCONNECT when connected, then close
  // The close is reported by OnSessionClosed, or already done; a link that
  // announces a close from the peer finishes closing right after that event.
  QTimer::singleShot(0, this, [this] {
    if (FClient->Link->State() == wsClosed) QuitNow();
  });
  FQuitGuard->start(QuitGuardMs);
}

void CliSession::QuitNow() {
  std::fflush(stdout);
  const bool saved = SaveSession();
  FSessionFile.reset(); // lets the lock go
  const int code = FinishLog();
  QCoreApplication::exit(!saved && code == ExitOk ? ExitSession : code);
}
