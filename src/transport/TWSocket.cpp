#include "TWSocket.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "TSslSession.h"

struct TWSocket::TResolvedAddr {
  sockaddr_storage Addr{};
  socklen_t Len = 0;
  std::uint16_t Port = 0;  // host order
};

namespace {

std::string Trim(const std::string &s) {
  const char *blanks = " \t\r\n";
  auto b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return {};
  auto e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

// Four groups of decimal digits below 256, separated by exactly three points.
bool ParseDottedIPv4(const std::string &s, in_addr &out) {
  std::uint32_t value = 0;
  int groups = 0;
  std::size_t i = 0;
  while (groups < 4) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    std::uint32_t g = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      g = g * 10 + static_cast<std::uint32_t>(s[i] - '0');
      if (g > 255) return false;
      ++i;
    }
    value = (value << 8) | g;
    ++groups;
    if (groups < 4) {
      if (i >= s.size() || s[i] != '.') return false;
      ++i;
    }
  }
  if (i != s.size()) return false;
  out.s_addr = htonl(value);
  return true;
}

// Without brackets.
bool IsIPv6Literal(const std::string &s) {
  in6_addr a;
  return inet_pton(AF_INET6, s.c_str(), &a) == 1;
}

bool SystemHasIPv6() {
  static const bool has = [] {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }();
  return has;
}

std::string Unbracketed(const std::string &s) {
  if (s.size() > 2 && s.front() == '[' && s.back() == ']') return s.substr(1, s.size() - 2);
  return s;
}

// A name the resolver could not even ask about: empty labels, a label over 63
// or a name over 253 characters.
bool NameFitsAQuery(const std::string &name) {
  std::string n = name;
  if (!n.empty() && n.back() == '.') n.pop_back();
  if (n.empty() || n.size() > 253) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = n.find('.', start);
    std::size_t len = (dot == std::string::npos ? n.size() : dot) - start;
    if (len == 0 || len > 63) return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

std::string ErrorText(int code) { return WSocketErrorDesc(code) + " (#" + std::to_string(code) + ")"; }

}  // namespace

TWSocket::TWSocket(QObject *owner) : QObject(owner), FRemote(std::make_unique<TResolvedAddr>()) {}

TWSocket::~TWSocket() {
  FDestroying = true;
  FLookup.Cancel();
  SslResetFields();
  try {
    InternalClose(true, 0);
  } catch (...) {
  }
  DropNotifiers();
}

// ---------------------------------------------------------------- properties

// Stores a trimmed address, port or protocol text; false when it is unchanged.
// A change is allowed only while closed, and forgets what was resolved.
bool TWSocket::AssignEndpoint(const char *name, const std::string &value, std::string &text, bool &assigned,
                              bool &resolved) {
  std::string v = Trim(value);
  if (assigned && v == text) return false;
  if (FState != wsClosed) throw ESocketException(std::string("Cannot change ") + name + " if not closed");
  text = v;
  assigned = !v.empty();
  resolved = false;
  return true;
}

void TWSocket::SetAddr(const std::string &value) {
  if (!AssignEndpoint("Addr", value, FAddrStr, FAddrAssigned, FAddrResolved) || FAddrStr.empty()) return;
  // A family the owner chose for names (sfAny...) stays; literals speak for themselves.
  if (FSocketFamily != sfIPv4 && FSocketFamily != sfIPv6) return;
  in_addr a4;
  if (ParseDottedIPv4(FAddrStr, a4))
    FSocketFamily = sfIPv4;
  else if (IsIPv6Literal(Unbracketed(FAddrStr)) && SystemHasIPv6())
    FSocketFamily = sfIPv6;
}

void TWSocket::SetPort(const std::string &value) {
  AssignEndpoint("Port", value, FPortStr, FPortAssigned, FPortResolved);
}

void TWSocket::SetUnixPath(const std::string &value) {
  if (FState != wsClosed) throw ESocketException("Cannot change UnixPath if not closed");
  FUnixPath = value;
}

void TWSocket::SetProto(const std::string &value) {
  AssignEndpoint("Proto", value, FProtoStr, FProtoAssigned, FProtoResolved);
}

// ------------------------------------------------------------------- connect

void TWSocket::ResolvePortAndProto() {
  if (!FProtoResolved) {
    // Only stream sockets are made here; every other protocol is refused.
    if (strcasecmp(FProtoStr.c_str(), "tcp") != 0)
      throw std::runtime_error("Winsock Resolve Proto: Cannot convert protocol '" + FProtoStr + "' - " +
                               ErrorText(10043));
    FProtoResolved = true;
  }
  if (!FPortResolved) {
    unsigned long port = 0;
    const std::string &portStr = DialPort();
    if (portStr[0] >= '0' && portStr[0] <= '9') {
      for (char c : portStr) {
        if (c < '0' || c > '9') break;
        port = port * 10 + static_cast<unsigned long>(c - '0');
        if (port > 65535) break;
      }
      // A number that does not fit a port would silently wrap to another port.
      if (port > 65535)
        throw std::runtime_error("Winsock Resolve Port: Cannot convert port '" + portStr + "' - " +
                                 ErrorText(10022));
    } else {
      servent *se = getservbyname(portStr.c_str(), "tcp");
      if (!se)
        throw std::runtime_error("Winsock Resolve Port: Cannot convert port '" + portStr + "' - " +
                                 ErrorText(11004));
      port = ntohs(static_cast<std::uint16_t>(se->s_port));
    }
    FRemote->Port = static_cast<std::uint16_t>(port);
    FPortResolved = true;
  }
}

// Literals are converted at once. A host name that cannot be put into a query
// is refused at once too; any other name is looked up on a worker thread
// (false: the candidates come later, through LookupDone).
bool TWSocket::ResolveAddrNow() {
  if (FAddrResolved) return true;
  const std::string &addr = DialAddr();
  const std::string host = Unbracketed(addr);
  TSockAddr a;
  in_addr a4;
  in6_addr a6;
  if (ParseDottedIPv4(addr, a4)) {
    auto *sin = reinterpret_cast<sockaddr_in *>(&a.Addr);
    sin->sin_family = AF_INET;
    sin->sin_addr = a4;
    a.Len = sizeof(sockaddr_in);
  } else if (inet_pton(AF_INET6, host.c_str(), &a6) == 1) {
    auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&a.Addr);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = a6;
    a.Len = sizeof(sockaddr_in6);
  } else if (!NameFitsAQuery(host)) {
    throw std::runtime_error("Winsock Resolve Host: Cannot convert host address '" + addr + "' - " +
                             ErrorText(11001));
  } else {
    // The owner's family decides which addresses a name may give; the
    // default keeps host names to IPv4.
    const int family = FSocketFamily == sfAny ? AF_UNSPEC : FSocketFamily == sfAnyIPv6 ? AF_INET6 : AF_INET;
    FState = wsDnsLookup;
    FLookup.Start(host, family, [this](const TLookupResult &r) { LookupDone(r); });
    return false;
  }
  FCandidates = {a};
  FAddrResolved = true;
  return true;
}

void TWSocket::Connect() {
  if (FHSocket >= 0 && FState != wsClosed && FState != wsDnsLookup)
    throw ESocketException("Connect: Socket already in use", 0, "Connect");
  if (!FPortAssigned) throw ESocketException("Connect: No Port Specified", 0, "Connect");
  if (!FAddrAssigned) throw ESocketException("Connect: No IP Address Specified", 0, "Connect");
  if (!FProtoAssigned) throw ESocketException("Connect: No Protocol Specified", 0, "Connect");
  FLookup.Cancel();
  FLookupError.clear();
  FSslFailureKind = sfNone;
  FSslFailure.clear();
  FWsFailure.clear();
  FProxyFailure.clear();
  if (!FUnixPath.empty()) {
    TSockAddr a;
    auto *sun = reinterpret_cast<sockaddr_un *>(&a.Addr);
    if (FUnixPath.size() >= sizeof sun->sun_path)
      throw ESocketException("connect: the socket path '" + FUnixPath + "' is too long", 0, "Connect");
    struct stat st {};
    if (::stat(FUnixPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
      throw ESocketException("connect: there is no socket at '" + FUnixPath + "'", 0, "Connect");
    sun->sun_family = AF_UNIX;
    std::memcpy(sun->sun_path, FUnixPath.c_str(), FUnixPath.size() + 1);
    a.Len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + FUnixPath.size() + 1);
    FCandidates = {a};
    if (int code = StartCandidates(0)) SocketError("Connect", code);
    return;
  }
  try {
    ResolvePortAndProto();
    if (!ResolveAddrNow()) return;
  } catch (const std::exception &e) {
    throw ESocketException(std::string("connect: ") + e.what(), 0, "Connect");
  }
  if (int code = StartCandidates(0)) SocketError("Connect", code);
}

void TWSocket::LookupDone(const TLookupResult &result) {
  if (FState != wsDnsLookup) return;
  FState = wsClosed;
  if (result.Code == 0 && result.Addrs.empty()) return FailAttempt(11001);
  if (result.Code != 0) {
    FLookupError = "connect: Winsock Resolve Host: Cannot convert host address '" + DialAddr() + "' - " +
                   ErrorText(result.Code);
    return FailAttempt(result.Code);
  }
  FCandidates = result.Addrs;
  FAddrResolved = true;
  if (int code = StartCandidates(0)) FailAttempt(code);
}

// An attempt that ended before any connection existed (no lookup answer, no
// address that took a connect): reported as a failed connect is, with its
// code and then a close.
void TWSocket::FailAttempt(int code) {
  FLastError = code;
  QPointer<TWSocket> self(this);
  const auto conn = FConnection;
  if (!RaiseEvent(OnSessionConnected, code) || FConnection != conn || FHSocket >= 0 || FState != wsClosed) return;
  if (!FCloseInvoked && !RaiseEvent(OnSessionClosed, 0)) return;
  if (self && FConnection == conn && FHSocket < 0 && FState == wsClosed) ResetDefaults();
}

// Starts a TCP connect to the candidates from index from on, in order, until
// one is under way; 0 then, else the error of the last one tried (the socket
// is closed and has no handle).
int TWSocket::StartCandidates(std::size_t from) {
  int code = 11001;
  for (std::size_t i = from; i < FCandidates.size(); ++i) {
    FNextCandidate = i + 1;
    FRemote->Addr = FCandidates[i].Addr;
    FRemote->Len = FCandidates[i].Len;
    if (FRemote->Addr.ss_family == AF_INET)
      reinterpret_cast<sockaddr_in *>(&FRemote->Addr)->sin_port = htons(FRemote->Port);
    else if (FRemote->Addr.ss_family == AF_INET6)
      reinterpret_cast<sockaddr_in6 *>(&FRemote->Addr)->sin6_port = htons(FRemote->Port);
    code = StartConnect();
    if (code == 0) return 0;
  }
  return code;
}

// After a failed connect: the next candidate, if there is one. True when
// that was done: an attempt is under way, or the last failure is reported.
bool TWSocket::TryNextCandidate() {
  if (FNextCandidate >= FCandidates.size() || FHSocket < 0) return false;
  DropNotifiers();
  ::close(FHSocket);
  FHSocket = -1;
  FState = wsClosed;
  if (int code = StartCandidates(FNextCandidate)) FailAttempt(code);
  return true;
}

int TWSocket::StartConnect() {
  FSendQueue.Clear();
  WsResetFields();
  FProxyDone = false;
  FProxyStep = 0;
  FProxyBuf.clear();
  const int family = FRemote->Addr.ss_family;
  int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, family == AF_UNIX ? 0 : IPPROTO_TCP);
  if (fd < 0) return ErrnoToWSocketError(errno);
  FHSocket = fd;
  ++FConnection;
  FCloseInvoked = false;
  FReadPaused = false;
  FPeerClosed = false;
  FState = wsOpened;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (FLingerOnOff != wsLingerNoSet) {
    linger l{FLingerOnOff == wsLingerOn ? 1 : 0, FLingerTimeout};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  FReadNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  FWriteNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  connect(FReadNotifier, &QSocketNotifier::activated, this, [this] { HandleNotification(); });
  connect(FWriteNotifier, &QSocketNotifier::activated, this, [this] { HandleNotification(); });
  if (::connect(fd, reinterpret_cast<sockaddr *>(&FRemote->Addr), FRemote->Len) == 0 || errno == EINPROGRESS) {
    FState = wsConnecting;
    UpdateNotifiers();
    return 0;
  }
  int code = ErrnoToWSocketError(errno);
  // Leaving the handle behind would block every later Connect with
  // "Socket already in use"; release it quietly before reporting.
  DropNotifiers();
  ::close(fd);
  FHSocket = -1;
  FState = wsClosed;
  return code;
}

// ---------------------------------------------------------------- send/recv

int TWSocket::Send(const void *Data, int Len) {
  if (FState != wsConnected) SocketError("Send", 10057);
  if (Len <= 0)
    Len = 0;
  else if (FWsEnable) {
    FDataSentPending = true;
    // Each Send is one binary message; before the upgrade is answered the
    // bytes wait, and go out together as one message once it is.
    if (FWs && FWs->Open() && FWsPlainQueue.Empty()) {
      FWs->Write(static_cast<const char *>(Data), static_cast<std::size_t>(Len));
      WsFlush();
    } else {
      FWsPlainQueue.Append(Data, static_cast<std::size_t>(Len));
    }
    return Len;
  } else {
    FDataSentPending = true;
    if (FSslEnable)
      FSslPlainQueue.Append(Data, static_cast<std::size_t>(Len));
    else
      FSendQueue.Append(Data, static_cast<std::size_t>(Len));
  }
  if (FSslEnable)
    SslWritePlain();
  else
    TryToSend();
  return Len;
}

void TWSocket::TryToSend() {
  if (FHSocket < 0) return;
  while (!FSendQueue.Empty()) {
    // Several queued blocks go to the system in one call, still in order.
    iovec vecs[64];
    int n = FSendQueue.HeadVecs(vecs, 64);
    std::size_t total = 0;
    for (int i = 0; i < n; ++i) total += vecs[i].iov_len;
    msghdr msg{};
    msg.msg_iov = vecs;
    msg.msg_iovlen = static_cast<std::size_t>(n);
    ssize_t r = ::sendmsg(FHSocket, &msg, MSG_NOSIGNAL);
    if (r > 0) {
      FSendQueue.Remove(static_cast<std::size_t>(r));
      if (static_cast<std::size_t>(r) < total) break;
      continue;
    }
    int code = r == 0 ? 10035 : ErrnoToWSocketError(errno);
    if (code == 10035) break;
    if (code == 10054 || code == 10038 || code == 10057 || code == 10022 || code == 10053 || code == 10058) {
      FLastError = code;
      ConnectionGone(code);
      return;
    }
    SocketError("TryToSend failed", code);
  }
  if (FSendQueue.Empty() && FSslPlainQueue.Empty() && FWsPlainQueue.Empty() && FDataSentPending && OnDataSent)
    PostRequest(rqDataSent);
  UpdateNotifiers();
}

void TWSocket::ConnectionGone(int error) {
  FCloseInvoked = true;
  const auto conn = FConnection;
  QPointer<TWSocket> self(this);
  SslResetFields();
  InternalClose(true, 0);
  if (!self || FConnection != conn || FHSocket >= 0) return;
  RaiseEvent(OnSessionClosed, error);
}

std::size_t TWSocket::PlainRcvdCount() const {
  int n = 0;
  if (FHSocket < 0 || ioctl(FHSocket, FIONREAD, &n) < 0) return 0;
  return static_cast<std::size_t>(n);
}

int TWSocket::GetRcvdCount() {
  if (FWs) return static_cast<int>(FWsRxBuf.size() - FWsRxPos);
  if (FSsl) return static_cast<int>(FSslRxBuf.size() - FSslRxPos);
  if (FHSocket < 0) return -1;
  int n = 0;
  if (ioctl(FHSocket, FIONREAD, &n) < 0) {
    FLastError = ErrnoToWSocketError(errno);
    return -1;
  }
  return n;
}

int TWSocket::Receive(void *Buffer, int BufferSize) {
  if (BufferSize < 0) BufferSize = 0;
  if (FReadPaused) {
    // The owner reads again: announcements may resume.
    FReadPaused = false;
    UpdateNotifiers();
  }
  // Payload unframed from WebSocket, or plaintext decrypted by TLS.
  if (FWs) return ReceiveHeld(FWsRxBuf, FWsRxPos, Buffer, BufferSize);
  if (FSsl) return ReceiveHeld(FSslRxBuf, FSslRxPos, Buffer, BufferSize);
  if (FHSocket < 0) {
    FLastError = 10057;
    return -1;
  }
  ssize_t r = ::recv(FHSocket, Buffer, static_cast<std::size_t>(BufferSize), 0);
  if (r < 0) {
    FLastError = ErrnoToWSocketError(errno);
    return -1;
  }
  if (r > 0) ++FReadCount;
  return static_cast<int>(r);
}

int TWSocket::ReceiveHeld(std::string &held, std::size_t &pos, void *Buffer, int BufferSize) {
  const std::size_t avail = held.size() - pos;
  if (avail == 0) {
    FLastError = 10035;
    return -1;
  }
  const std::size_t n = std::min(avail, static_cast<std::size_t>(BufferSize));
  std::memcpy(Buffer, held.data() + pos, n);
  pos += n;
  if (pos == held.size()) {
    held.clear();
    pos = 0;
  }
  ++FReadCount;
  return static_cast<int>(n);
}

// Raises OnDataAvailable while held bytes (from pos on) are left and the
// owner takes some each time; layerGone says the layer holding them went.
void TWSocket::AnnounceHeld(std::string &held, std::size_t &pos, const std::function<bool()> &layerGone) {
  QPointer<TWSocket> self(this);
  const auto conn = FConnection;
  while (!layerGone() && held.size() > pos) {
    const auto before = FReadCount;
    if (OnDataAvailable) {
      // An exception here is not caught: the dispatch aborts the connection.
      if (!RaiseEvent(OnDataAvailable, 0)) return;
    } else {
      held.clear();
      pos = 0;
      ++FReadCount;
    }
    if (!self || FConnection != conn || layerGone()) return;
    if (FReadCount == before) {
      FReadPaused = true;
      UpdateNotifiers();
      return;
    }
  }
}

std::string TWSocket::ReceiveStrA() {
  int n = GetRcvdCount();
  if (n < 0) return {};
  if (n == 0) n = 255;
  std::string s(static_cast<std::size_t>(n), '\0');
  int r = Receive(s.data(), n);
  if (r <= 0) return {};
  s.resize(static_cast<std::size_t>(r));
  return s;
}

std::size_t TWSocket::BufferedByteCount() const {
  return FSendQueue.Size() + FSslPlainQueue.Size() + FWsPlainQueue.Size();
}

std::string TWSocket::GetXPort() {
  if (FState != wsConnected || FHSocket < 0) return "error";
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(FHSocket, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return "error";
  // A Unix socket has no port: the process stands for it.
  if (ss.ss_family == AF_UNIX) return std::to_string(::getpid());
  std::uint16_t port = ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                                : reinterpret_cast<sockaddr_in *>(&ss)->sin_port;
  return std::to_string(ntohs(port));
}

// ------------------------------------------------------------------- closing

void TWSocket::Close() {
  if (FWs && FHSocket >= 0 && FWs->Open() && !FWs->CloseSent()) {
    if (FWsRxBuf.size() > FWsRxPos && !FWsCloseAnnounced) {
      // Payload still waiting is announced first; the close follows.
      FWsCloseAnnounced = true;
      PostRequest(rqWsRead);
      PostRequest(rqClose);
      return;
    }
    FWs->Close(1000);
    WsFlush();
    if (FHSocket < 0) return;
  }
  if (FSsl && FSslEnable && FHSocket >= 0 && FSSLState >= sslEstablished) {
    if (FSSLState == sslEstablished && FSslRxBuf.size() > FSslRxPos && !FSslCloseAnnounced) {
      // Decrypted bytes still waiting are announced first; the close follows.
      FSslCloseAnnounced = true;
      PostRequest(rqSslRead);
      PostRequest(rqClose);
      return;
    }
    SslBeginClose(true, 0);
    return;
  }
  InternalClose(true, 0);
}

void TWSocket::CloseDelayed() { PostRequest(rqClose); }

void TWSocket::Abort() {
  FSendQueue.Clear();
  SslResetFields();
  if (FState == wsConnected && FHSocket >= 0) {
    linger l{0, 0};
    setsockopt(FHSocket, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  InternalClose(false, 0);
}

void TWSocket::InternalClose(bool bShut, int error) {
  FLookup.Cancel();
  if (FHSocket < 0) {
    // An attempt still looking its name up is an opening connection: its
    // owner hears of the close like of any other.
    const bool wasLookingUp = FState == wsDnsLookup;
    if (FState != wsClosed) {
      FState = wsClosed;
      if (wasLookingUp && !FDestroying && !FCloseInvoked) {
        FCloseInvoked = true;
        const auto conn = FConnection;
        if (!RaiseEvent(OnSessionClosed, error) || FConnection != conn || FState != wsClosed) return;
      }
      ResetDefaults();
    }
    return;
  }
  if (FState == wsClosed) return;
  if (bShut) ::shutdown(FHSocket, SHUT_WR);
  DropNotifiers();
  int rc = ::close(FHSocket);
  int closeErr = rc == 0 ? 0 : errno;
  FHSocket = -1;
  FState = wsClosed;
  if (closeErr != 0 && closeErr != EINTR) SocketError("Disconnect (closesocket)", ErrnoToWSocketError(closeErr));
  const auto conn = FConnection;
  if (!FDestroying && !FCloseInvoked) {
    FCloseInvoked = true;
    if (!RaiseEvent(OnSessionClosed, error)) return;
  }
  // A handler that connected again owns the socket now; keep its settings.
  if (FConnection != conn || FHSocket >= 0) return;
  ResetDefaults();
}

void TWSocket::ResetDefaults() {
  FAddrAssigned = false;
  FPortAssigned = false;
  FProtoStr = "tcp";
  FProtoAssigned = true;
  FAddrResolved = FPortResolved = FProtoResolved = false;
  FState = wsClosed;
  FSendQueue.Clear();
  FCloseInvoked = false;
  FReadPaused = false;
  FPeerClosed = false;
  FDataSentPending = false;
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  SslResetFields();
}

void TWSocket::SocketError(const std::string &func, int code) {
  std::string msg = WSocketErrorDesc(code) + " (#" + std::to_string(code) + " in " + func + ")";
  if ((code == 10054 || code == 10057) && FHSocket >= 0) {
    DropNotifiers();
    ::close(FHSocket);
    FHSocket = -1;
    bool wasOpen = FState != wsClosed;
    FState = wsClosed;
    if (wasOpen && !FCloseInvoked && !FDestroying) {
      FCloseInvoked = true;
      QPointer<TWSocket> self(this);
      const auto conn = FConnection;
      RaiseEvent(OnSessionClosed, code);
      if (self && FConnection == conn && FHSocket < 0) ResetDefaults();
    }
  }
  FLastError = code;
  throw ESocketException(msg, code, func);
}

// ------------------------------------------------------------ notifications

void TWSocket::DropNotifiers() {
  // Deleted later: this may run inside one of their own signals.
  for (QSocketNotifier **n : {&FReadNotifier, &FWriteNotifier}) {
    if (!*n) continue;
    (*n)->setEnabled(false);
    (*n)->deleteLater();
    *n = nullptr;
  }
}

void TWSocket::UpdateNotifiers() {
  if (FHSocket < 0 || !FReadNotifier) return;
  bool wantRead = !FReadPaused && !FPeerClosed && !FWsPaced;
  // Plaintext waiting behind an established TLS session is written on the
  // next write-ready notification, whoever emptied the send queue.
  bool tlsPending = FSsl && FSSLState == sslEstablished && !FSslCloseStarted && !FSslPlainQueue.Empty();
  bool wantWrite = FState == wsConnecting || !FSendQueue.Empty() || tlsPending;
  if (FReadNotifier->isEnabled() != wantRead) FReadNotifier->setEnabled(wantRead);
  if (FWriteNotifier->isEnabled() != wantWrite) FWriteNotifier->setEnabled(wantWrite);
}

void TWSocket::PostRequest(TRequest kind) {
  const auto conn = FConnection;
  QMetaObject::invokeMethod(this, [this, conn, kind] { HandleRequest(conn, kind); }, Qt::QueuedConnection);
}

bool TWSocket::RaiseEvent(const std::function<void(TWSocket *, std::uint16_t)> &event, int errCode) {
  if (!event) return true;
  QPointer<TWSocket> self(this);
  auto handler = event;  // the handler may replace or destroy the member
  handler(this, static_cast<std::uint16_t>(errCode));
  return !self.isNull();
}

void TWSocket::HandleRequest(std::uint64_t connection, TRequest kind) {
  // Requests of an earlier connection must not touch the current one.
  if (connection != FConnection) return;
  QPointer<TWSocket> self(this);
  try {
    switch (kind) {
    case rqClose: Close(); break;
    case rqSslClose:
      if (FHSocket >= 0) InternalClose(false, FSslCloseError);
      break;
    case rqSslRead:
      if (FSsl) SslAnnounce();
      break;
    case rqWsRead:
      if (FWs) WsAnnounce();
      break;
    case rqDataSent:
      if (FDataSentPending && FSendQueue.Empty() && FSslPlainQueue.Empty() && FWsPlainQueue.Empty() &&
          FState == wsConnected) {
        FDataSentPending = false;
        RaiseEvent(OnDataSent, 0);
      }
      break;
    }
  } catch (...) {
    if (self) HandleBackgroundException();
  }
}

void TWSocket::HandleBackgroundException() {
  // The exception is dropped; the connection is aborted instead.
  try {
    Abort();
    // An exception out of OnSessionClosed skipped the reset after the close.
    if (FHSocket < 0) ResetDefaults();
  } catch (...) {
  }
}

void TWSocket::HandleNotification() {
  if (FHSocket < 0) return;
  QPointer<TWSocket> self(this);
  const auto conn = FConnection;
  auto same = [&] { return self && FConnection == conn && FHSocket >= 0; };
  try {
    pollfd p{FHSocket, POLLIN | POLLOUT | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return;
    const short ev = p.revents;
    if (FState == wsSocksConnected) {
      // The proxy's handshake: its answers, and our requests still queued.
      if (ev & (POLLIN | POLLERR | POLLHUP)) ProxyRead();
      if (same() && FState == wsSocksConnected && (ev & POLLOUT)) TryToSend();
      return;
    }
    if (FState != wsConnected) {
      if (!(ev & (POLLOUT | POLLERR | POLLHUP))) return;
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(FHSocket, SOL_SOCKET, SO_ERROR, &err, &len);
      Do_FD_CONNECT(ErrnoToWSocketError(err));
      if (!same() || FState != wsConnected) return;
    }
    if ((ev & (POLLIN | POLLERR | POLLHUP)) && !FReadPaused && !FPeerClosed) {
      bool readable = PlainRcvdCount() > 0;
      if (readable) {
        Do_FD_READ(0);
        if (!same()) return;
      }
      // Readable without bytes, or the peer's end announced: find out how
      // the connection ended (0 for an orderly close).
      if (!readable || (ev & (POLLRDHUP | POLLHUP | POLLERR))) {
        int closeCode = PeerCloseCode();
        if (closeCode >= 0) {
          Do_FD_CLOSE(closeCode);
          return;
        }
      }
    }
    if (ev & POLLOUT) Do_FD_WRITE(0);
  } catch (...) {
    if (self) HandleBackgroundException();
  }
}

int TWSocket::PeerCloseCode() {
  if (FHSocket < 0) return -1;
  char c;
  ssize_t r = ::recv(FHSocket, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (r == 0) return 0;
  if (r > 0) return -1;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  return ErrnoToWSocketError(errno);
}

void TWSocket::Do_FD_CONNECT(int errCode) {
  if (FState == wsConnected) return;
  if (errCode != 0 && TryNextCandidate()) return;
  if (FProxy.Kind && !FProxyDone) {
    if (errCode == 0) {
      // The broker's events wait until the proxy has opened the tunnel.
      FState = wsSocksConnected;
      ProxyStart();
      return;
    }
    FProxyFailure = "cannot reach the proxy " + FProxy.Host + " port " + FProxy.Port + ": " + WSocketErrorDesc(errCode);
  }
  FState = wsConnected;
  UpdateNotifiers();
  const auto conn = FConnection;
  if (!RaiseEvent(OnSessionConnected, errCode)) return;
  if (FConnection != conn) return;
  if (errCode != 0) {
    if (FState != wsClosed) Close();
    return;
  }
  if (FWsEnable && !FWs && FState == wsConnected && FHSocket >= 0) WsStart();
  if (FSslEnable && !FSsl && FState == wsConnected && FHSocket >= 0) {
    try {
      StartSslHandshake();
    } catch (const std::exception &e) {
      // Nothing of a failed TLS start reaches the owner but the close, and
      // the reason it can read.
      FSslFailureKind = sfOther;
      FSslFailure = e.what();
      SslResetFields();
      InternalClose(true, 10053);
    } catch (...) {
      SslResetFields();
      InternalClose(true, 10053);
    }
  }
}

void TWSocket::Do_FD_READ(int errCode) {
  const bool paced = FWs && FWs->Open();
  QPointer<TWSocket> self(this);
  const auto conn = FConnection;
  if (FSsl)
    SslReadFromSocket();
  else if (FWs)
    WsReadFromSocket();
  else
    ReceiveLoop(errCode);
  if (paced && self && FConnection == conn && FWs) WsPace();
}

bool TWSocket::ReceiveLoop(int errCode) {
  QPointer<TWSocket> self(this);
  const auto conn = FConnection;
  for (;;) {
    const auto before = FReadCount;
    if (OnDataAvailable) {
      try {
        if (!RaiseEvent(OnDataAvailable, errCode)) return false;
      } catch (...) {
        return self && FConnection == conn;
      }
    } else {
      char discard[1024];
      Receive(discard, sizeof discard);
    }
    if (!self || FConnection != conn || FHSocket < 0) return false;
    const int left = GetRcvdCount();
    if (left <= 0) return true;
    if (FReadCount == before) {
      // Nothing was taken: wait until the owner reads instead of spinning.
      FReadPaused = true;
      UpdateNotifiers();
      return true;
    }
  }
}

void TWSocket::Do_FD_WRITE(int) {
  TryToSend();
  if (FSsl && FHSocket >= 0) {
    SslWritePlain();
    SslCheckCloseReady();
  }
}

void TWSocket::Do_FD_CLOSE(int errCode) {
  if (FState == wsConnecting || FHSocket < 0) return;
  FPeerClosed = true;
  UpdateNotifiers();
  QPointer<TWSocket> self(this);
  const auto conn = FConnection;
  if (FSsl) {
    // Ciphertext still in the system first, then the TLS layer decides.
    SslReadFromSocket();
    if (!self || FConnection != conn || FHSocket < 0) return;
    if (!FSsl->HandshakeDone()) {
      SslNoteFailure(false);
      SslFail(errCode != 0 ? errCode : 10053);
      return;
    }
    WsNoteUnfinishedUpgrade();
    if (!FSslCloseStarted) SslBeginClose(FSSLState != sslInShutdown, errCode);
    return;
  }
  if (PlainRcvdCount() > 0) {
    FReadPaused = false;
    if (FWs)
      WsReadFromSocket();
    else
      ReceiveLoop(0);
    if (!self || FConnection != conn || FHSocket < 0) return;
  }
  WsNoteUnfinishedUpgrade();
  if (!FCloseInvoked) {
    FCloseInvoked = true;
    if (!RaiseEvent(OnSessionClosed, errCode)) return;
    if (FConnection != conn) return;
  }
  if (FState != wsClosed) Close();
}
