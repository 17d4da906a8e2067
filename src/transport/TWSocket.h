#pragma once
// TWSocket: a non-blocking TCP client socket whose progress is reported as
// events on the thread that owns it (the Qt event loop of that thread), with
// an optional TLS layer inside the same object.
//
// Error codes use the Windows Sockets numbering (10053 connection aborted,
// 10054 reset, 10057 not connected, 10061 refused, ...); operating-system
// errors are mapped onto it, and 0 always means success.

#include <QObject>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BlockQueue.h"
#include "NameLookup.h"
#include "TSslContext.h"
#include "TSslSession.h"
#include "WsSession.h"

class QSocketNotifier;
class TWSocket;

// A proxy the connection goes through: HTTP CONNECT (with basic
// authentication when a user is given) or SOCKS5 (RFC 1928, user and password
// per RFC 1929). RemoteResolve: the proxy looks the broker's name up (socks5h).
struct TProxySettings {
  enum TKind : std::uint8_t { pkNone, pkHttp, pkSocks5 };
  TKind Kind = pkNone;
  std::string Host;
  std::string Port;
  std::string User;
  std::string Password;
  bool RemoteResolve = false;
};

enum TSocketState : std::uint8_t {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed,
  wsDnsLookup,
};

enum TSocketFamily : std::uint8_t { sfAny, sfAnyIPv4, sfAnyIPv6, sfIPv4, sfIPv6 };

enum TSocketLingerOnOff : std::uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };

enum TSslState : std::uint8_t {
  sslNone,
  sslHandshakeInit,
  sslHandshakeStarted,
  sslHandshakeFailed,
  sslEstablished,
  sslInShutdown,
  sslShutdownComplete,
};

// Raised by socket operations: message, error code and the failing operation.
class ESocketException : public std::runtime_error {
public:
  ESocketException(const std::string &msg, int errorCode = 0, const std::string &funcName = {})
      : std::runtime_error(msg), FErrorCode(errorCode), FFuncName(funcName) {}
  int ErrorCode() const { return FErrorCode; }
  const std::string &FuncName() const { return FFuncName; }

private:
  int FErrorCode;
  std::string FFuncName;
};

using TSessionConnected = std::function<void(TWSocket *Sender, std::uint16_t ErrCode)>;
using TDataAvailable = std::function<void(TWSocket *Sender, std::uint16_t ErrCode)>;
using TSessionClosed = std::function<void(TWSocket *Sender, std::uint16_t ErrCode)>;
using TDataSent = std::function<void(TWSocket *Sender, std::uint16_t ErrCode)>;

// The standard description of a Windows Sockets error code
// ("Connection refused", "Host not found", ... "Not a Winsocket error").
std::string WSocketErrorDesc(int errCode);
// Maps an errno value onto the Windows Sockets numbering.
int ErrnoToWSocketError(int err);

class TWSocket : public QObject {
  Q_OBJECT
public:
  explicit TWSocket(QObject *owner = nullptr);
  ~TWSocket() override;
  TWSocket(const TWSocket &) = delete;
  TWSocket &operator=(const TWSocket &) = delete;

  // Remote end. Setters trim, and throw ESocketException
  // ("Cannot change Addr if not closed", ...) when a different value is set
  // outside wsClosed. An empty value leaves the property unassigned.
  const std::string &Addr() const { return FAddrStr; }
  void SetAddr(const std::string &value);
  const std::string &Port() const { return FPortStr; }
  void SetPort(const std::string &value);
  const std::string &Proto() const { return FProtoStr; }
  void SetProto(const std::string &value);

  // sfIPv4 (the default) looks host names up as IPv4 only; sfAny takes
  // IPv6 and IPv4 addresses alike. An IPv4 or IPv6 literal sets sfIPv4 or
  // sfIPv6 unless the owner chose one of the sfAny... families.
  TSocketFamily SocketFamily() const { return FSocketFamily; }
  void SetSocketFamily(TSocketFamily value) { FSocketFamily = value; }
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff value) { FLingerOnOff = value; }
  int LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(int seconds) { FLingerTimeout = seconds; }

  TSocketState State() const { return FState; }
  int LastError() const { return FLastError; }

  // Starts a connection attempt; the outcome comes through OnSessionConnected.
  // Throws ESocketException for errors found before the attempt is under way.
  // A host name is looked up without blocking (state wsDnsLookup meanwhile);
  // every address it gives is tried in the resolver's order until one
  // connects. A failed lookup is reported like a refused connect: the
  // lookup's error code in OnSessionConnected, then OnSessionClosed, with
  // LookupError saying what failed.
  void Connect();
  // "connect: Winsock Resolve Host: ..." after a failed lookup, until the next Connect.
  const std::string &LookupError() const { return FLookupError; }
  // Queues the bytes and writes what the system takes now; returns Len
  // (0 when Len is not above 0). Only in wsConnected.
  int Send(const void *Data, int Len);
  int SendStr(const std::string &Str) { return Send(Str.data(), static_cast<int>(Str.size())); }
  // The bytes available now (up to 255 when none are announced); empty when
  // nothing could be read.
  std::string ReceiveStrA();
  // Reads up to BufferSize bytes: the count read, 0 at end of stream, or -1
  // with LastError set.
  int Receive(void *Buffer, int BufferSize);
  // Bytes readable now without blocking (decrypted bytes on TLS).
  int GetRcvdCount();
  // Bytes given to Send and not yet handed to the system.
  std::size_t BufferedByteCount() const;

  void Close();
  // Closes later, behind the events already waiting; for use inside handlers.
  void CloseDelayed();
  void Abort();
  // The local port as decimal text while connected, else "error".
  std::string GetXPort();

  // TLS. SslEnable decides, when TCP connects, whether the connection runs TLS.
  bool SslEnable() const { return FSslEnable; }
  void SetSslEnable(bool value) { FSslEnable = value; }
  TSslContext *SslContext() const { return FSslContext.data(); }
  void SetSslContext(TSslContext *value) { FSslContext = value; }
  TSslState SslState() const { return FSSLState; }
  const std::string &SslVersion() const { return FSslVersion; }
  const std::string &SslCipher() const { return FSslCipher; }
  // OpenSSL's one-line cipher description, ending with a line feed.
  const std::string &SslCipherDesc() const { return FSslCipherDesc; }
  // The broker's name for TLS: checked against its certificate when the
  // context verifies, and sent as server name indication when set here or
  // when the context verifies (never for an IP literal). Empty: Addr.
  const std::string &SslServerName() const { return FSslServerName; }
  void SetSslServerName(const std::string &value) { FSslServerName = value; }
  // The name the broker's certificate was verified for, while a verified
  // session is established; empty otherwise.
  const std::string &SslVerifiedName() const { return FSslVerifiedName; }
  // Why the TLS handshake of the current or last connection failed, for the
  // user (empty when it did not fail), and what kind of failure it was
  // (sfNone if none); kept until the next Connect.
  const std::string &SslFailure() const { return FSslFailure; }
  TSslFailure SslFailureKind() const { return FSslFailureKind; }

  // WebSocket. WsEnable decides, when TCP connects, whether the owner's bytes
  // travel as MQTT over WebSocket (inside TLS when SslEnable): the upgrade is
  // sent first, and what the owner sends before it is answered waits.
  bool WsEnable() const { return FWsEnable; }
  void SetWsEnable(bool value) { FWsEnable = value; }
  TWsSettings &WsSettings() { return FWsSettings; }
  // Why the WebSocket upgrade or framing of the current or last connection
  // failed, for the user (empty when it did not); kept until the next Connect.
  const std::string &WsFailure() const { return FWsFailure; }
  // The path the connection takes, for the user: "TCP", "TLS", "WebSocket",
  // "WebSocket over TLS".
  std::string PathName() const;

  // Proxy. Set while closed; Addr and Port stay the broker's, and
  // OnSessionConnected comes once the proxy has opened the tunnel (or with
  // an error code when it refused, ProxyFailure saying why).
  const TProxySettings &Proxy() const { return FProxy; }
  void SetProxy(const TProxySettings &value);
  const std::string &ProxyFailure() const { return FProxyFailure; }

  // A Unix domain socket to connect to in place of Addr and Port (which
  // still name the broker for TLS and WebSocket); empty: TCP.
  const std::string &UnixPath() const { return FUnixPath; }
  void SetUnixPath(const std::string &value);

  // Lines about the layers worth a debug log (the WebSocket close
  // handshake, ...).
  std::function<void(TWSocket *Sender, const std::string &Line)> OnTransportNote;

  TSessionConnected OnSessionConnected;
  TDataAvailable OnDataAvailable;
  TSessionClosed OnSessionClosed;
  // Raised from the event loop once every byte given to Send has been handed
  // to the system (for streaming senders that refill on it).
  TDataSent OnDataSent;

private:
  // Requests posted to the socket's own queue, handled on the event loop.
  enum TRequest { rqClose, rqSslClose, rqSslRead, rqDataSent, rqWsRead };
  struct TResolvedAddr;

  bool AssignEndpoint(const char *name, const std::string &value, std::string &text, bool &assigned,
                      bool &resolved);

  std::string FAddrStr;
  std::string FPortStr;
  std::string FProtoStr = "tcp";
  bool FAddrAssigned = false;
  bool FPortAssigned = false;
  bool FProtoAssigned = true;
  bool FAddrResolved = false;
  bool FPortResolved = false;
  bool FProtoResolved = false;
  std::unique_ptr<TResolvedAddr> FRemote;
  std::vector<TSockAddr> FCandidates;  // addresses of Addr, tried in this order
  std::size_t FNextCandidate = 0;
  TNameLookup FLookup{this};
  std::string FLookupError;

  TSocketFamily FSocketFamily = sfIPv4;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  int FLingerTimeout = 0;
  TSocketState FState = wsClosed;
  int FLastError = 0;
  int FHSocket = -1;
  std::uint64_t FConnection = 0;  // counts connections; tags posted requests
  bool FCloseInvoked = false;
  bool FDestroying = false;
  bool FReadPaused = false;   // the owner left announced bytes unread
  bool FPeerClosed = false;   // end of stream seen, closing under way
  bool FDataSentPending = false;
  std::uint64_t FReadCount = 0;  // successful reads, to see whether a handler consumed anything
  QSocketNotifier *FReadNotifier = nullptr;   // owned as Qt children
  QSocketNotifier *FWriteNotifier = nullptr;
  TBlockQueue FSendQueue{1460};

  bool FSslEnable = false;
  QPointer<TSslContext> FSslContext;
  TSslState FSSLState = sslNone;
  std::string FSslVersion = "Unknown";
  std::string FSslCipher = "Unknown";
  std::string FSslCipherDesc;
  std::string FSslServerName;
  std::string FSslVerifiedName;
  TSslFailure FSslFailureKind = sfNone;
  std::string FSslFailure;
  std::unique_ptr<TSslSession> FSsl;
  TBlockQueue FSslPlainQueue{16384};
  std::string FSslRxBuf;  // decrypted bytes not read yet, from FSslRxPos
  std::size_t FSslRxPos = 0;
  int FSslCloseError = 0;
  bool FSslCloseStarted = false;
  bool FSslClosePosted = false;
  bool FSslCloseAnnounced = false;

  void ResolvePortAndProto();
  bool ResolveAddrNow();
  void LookupDone(const TLookupResult &result);
  void FailAttempt(int code);
  int StartCandidates(std::size_t from);
  bool TryNextCandidate();
  int StartConnect();
  [[noreturn]] void SocketError(const std::string &func, int code);
  void InternalClose(bool bShut, int error);
  void ConnectionGone(int error);
  void ResetDefaults();
  void DropNotifiers();
  void UpdateNotifiers();
  void PostRequest(TRequest kind);
  void HandleRequest(std::uint64_t connection, TRequest kind);
  void HandleNotification();
  void HandleBackgroundException();
  bool RaiseEvent(const std::function<void(TWSocket *, std::uint16_t)> &event, int errCode);
  void Do_FD_CONNECT(int errCode);
  void Do_FD_READ(int errCode);
  void Do_FD_WRITE(int errCode);
  void Do_FD_CLOSE(int errCode);
  bool ReceiveLoop(int errCode);
  void TryToSend();
  int PeerCloseCode();
  std::size_t PlainRcvdCount() const;

  bool FWsEnable = false;
  TWsSettings FWsSettings;
  std::unique_ptr<TWsSession> FWs;
  TBlockQueue FWsPlainQueue{16384};  // the owner's bytes waiting for the upgrade
  std::string FWsRxBuf;  // payload bytes not read yet, from FWsRxPos
  std::size_t FWsRxPos = 0;
  std::string FWsInBuf;  // frames as read from the socket, before unframing
  std::string FWsFailure;
  bool FWsCloseAnnounced = false;
  bool FWsPaced = false;  // reading waits a moment for more frames

  std::string FUnixPath;
  TProxySettings FProxy;
  std::string FProxyFailure;
  bool FProxyDone = false;  // the tunnel is open, or its failure reported
  int FProxyStep = 0;
  std::string FProxyBuf;

  const std::string &DialAddr() const { return FProxy.Kind ? FProxy.Host : FAddrStr; }
  const std::string &DialPort() const { return FProxy.Kind ? FProxy.Port : FPortStr; }
  void ProxyStart();
  void ProxyRead();
  void ProxySendRequest();
  void ProxyFail(const std::string &why, int code);
  void ProxyOpen();

  int ReceiveHeld(std::string &held, std::size_t &pos, void *Buffer, int BufferSize);
  void AnnounceHeld(std::string &held, std::size_t &pos, const std::function<bool()> &layerGone);

  void WsStart();
  void WsFeed(const char *data, std::size_t count);
  void WsReadFromSocket();
  void WsAnnounce();
  void WsFlush();
  void WsFail();
  void WsPace();
  void WsNoteUnfinishedUpgrade();
  void WsResetFields();
  void Note(const std::string &line);

  void StartSslHandshake();
  void SslHandshakeDone(bool success);
  void SslReadFromSocket();
  void SslAnnounce();
  void SslWritePlain();
  void SslFlushOutput();
  void SslBeginClose(bool sendCloseNotify, int error);
  void SslCheckCloseReady();
  void SslFail(int error);
  void SslNoteFailure(bool certificateProblemsOnly);
  std::string SslPeerName() const;
  void SslResetFields();
};
