#include "TMQTTClient.h"

#include <QTimer>

#include <algorithm>

#include <exception>
#include <utility>

#include "TWSocket.h"
#include "MQTTReasonCodes.h"
#include "TopicMatch.h"

namespace {
constexpr int ConnectTimer = 1;
constexpr int PingTimer = 2;
constexpr int RetryTimer = 3;
constexpr int AttemptTimer = 4;
constexpr int PingWatchTimer = 5;
constexpr int TimerCount = 5;
constexpr int SweepInterval = 100;
// A PINGREQ left without any traffic back for half the keep-alive interval
// (never under a second) means the link is dead, however open it looks.
constexpr int MinPingWatch = 1000;
// Received bytes parsed in one pass of the event loop. 64 KiB of small
// messages take a few milliseconds to handle; more would keep timers, signals
// and the user's input waiting under a flood.
constexpr std::size_t ParseSlice = 64 * 1024;

std::string Seconds(int ms) {
  std::string s = std::to_string(ms / 1000);
  if (ms % 1000) s += "." + std::to_string(ms % 1000 / 100);
  return s + " s";
}

std::string N(unsigned v) { return std::to_string(v); }

// Why a link closed after TCP connected but before any CONNACK, with a hint
// where the likely mistake is TLS switched on or off for the port.
std::string ClosedBeforeAnswer(const TWSocket &aLink) {
  if (!aLink.WsFailure().empty()) return "WebSocket: " + aLink.WsFailure();
  // A certificate check says itself what went wrong and what to do.
  if (aLink.SslFailureKind() != sfNone && aLink.SslFailureKind() != sfOther) return "TLS: " + aLink.SslFailure();
  if (aLink.SslEnable() && !aLink.SslFailure().empty())
    return "the TLS handshake failed: " + aLink.SslFailure() + " (TLS is on; is this a plain MQTT port?)";
  if (!aLink.SslEnable())
    return "the broker closed the connection before answering (TLS is off; does this port expect TLS?)";
  return "the broker closed the connection before answering";
}

std::uint32_t PackTag(std::uint16_t anID, unsigned aPosition, unsigned aQos) {
  return std::uint32_t(anID) << 16 | (aPosition & 0xFF) << 8 | (aQos & 0xFF);
}
} // namespace

TMQTTClient::TMQTTClient() {
  Releasables = std::make_unique<TMQTTMessageStore>();
  Parser = std::make_unique<TMQTTParser>();
  Parser->OnSend = [this](TMQTTParser *s, std::uint16_t id, std::int32_t retry, TByteStream &b) {
    ParserSend(s, id, retry, b);
  };
  Parser->OnConnAck = [this](TMQTTParser *s, std::uint8_t code) { ParserConnAck(s, code); };
  // At level 5 the rules of that level (aliases, reason codes, flow control)
  // run first and may end the exchange themselves.
  const auto level5 = [](TMQTTParser *s) { return s->ProtocolLevel == plMQTT5; };
  Parser->OnPublish = [this, level5](TMQTTParser *s, std::uint16_t id, std::string topic, std::string msg) {
    if (level5(s) && !Received5(id, topic, msg)) return;
    ParserPublish(s, id, topic, msg);
  };
  Parser->OnPubAck = [this, level5](TMQTTParser *s, std::uint16_t id) {
    if (level5(s)) Answered5(mtPUBACK, id);
    ParserPubAck(s, id);
    if (level5(s)) SendHeld5();
  };
  Parser->OnPubRec = [this, level5](TMQTTParser *s, std::uint16_t id) {
    if (level5(s) && Answered5(mtPUBREC, id)) return SendHeld5();
    ParserPubRec(s, id);
  };
  Parser->OnPubRel = [this, level5](TMQTTParser *s, std::uint16_t id) {
    if (level5(s)) Released5(id);
    ParserPubRel(s, id);
  };
  Parser->OnPubComp = [this, level5](TMQTTParser *s, std::uint16_t id) {
    if (level5(s)) Answered5(mtPUBCOMP, id);
    ParserPubComp(s, id);
    if (level5(s)) SendHeld5();
  };
  Parser->OnDisconnect = [this, level5](TMQTTParser *s) {
    if (level5(s)) BrokerDisconnect5();
  };
  Parser->OnSubAck = [this](TMQTTParser *s, std::uint16_t id, const std::vector<TMQTTQOSType> &q) {
    ParserSubAck(s, id, q);
  };
  Parser->OnUnsubAck = [this, level5](TMQTTParser *s, std::uint16_t id) {
    if (level5(s)) Unsubscribed5(id);
    ParserUnsubAck(s, id);
  };
  Parser->OnPingResp = [this](TMQTTParser *) {
    if (FPingsOut.empty()) return;
    const std::uint64_t seq = FPingsOut.front();
    FPingsOut.pop_front();
    NoteAnswered(seq);
  };
  Parser->OnStreamBroken = [this](TMQTTParser *s, std::string reason) { ParserBroken(s, reason); };
  Parser->OnPublishSkipped = [this, level5](TMQTTParser *s, std::uint16_t id, std::string topic, std::size_t size) {
    bool aliasError = false;
    if (level5(s)) {
      const std::string why = FAliasesIn.Resolve(topic, s->RxProperties, aliasError);
      if (!why.empty()) return EndConnection5(aliasError ? rcTopicAliasInvalid : rcProtocolError, why);
    }
    ParserPublishSkipped(s, id, topic, size);
  };
  Parser->SetKeepAlive(10);
  // What a broker sends is checked before anything of it is believed.
  Parser->Strict = true;

  for (int i = 0; i < TimerCount; ++i) {
    Timers[i] = std::make_unique<QTimer>();
    Timers[i]->setSingleShot(true);
    Timers[i]->setTimerType(Qt::PreciseTimer);
    QObject::connect(Timers[i].get(), &QTimer::timeout, Timers[i].get(), [this, i] { TimerProc(i + 1); });
  }

  FReceivePass = std::make_unique<QTimer>();
  FReceivePass->setSingleShot(true);
  QObject::connect(FReceivePass.get(), &QTimer::timeout, FReceivePass.get(), [this] { ContinueReceive(); });

  InFlight = std::make_unique<TMQTTPacketStore>();
  Link = std::make_unique<TWSocket>();
  Link->OnSessionConnected = [this](TWSocket *s, std::uint16_t e) { LinkSessionConnected(s, e); };
  Link->OnSessionClosed = [this](TWSocket *s, std::uint16_t e) { LinkSessionClosed(s, e); };
  Link->OnDataAvailable = [this](TWSocket *s, std::uint16_t e) { LinkDataAvailable(s, e); };
  Link->OnTransportNote = [this](TWSocket *, const std::string &line) { Mon(line); };
}

TMQTTClient::~TMQTTClient() {
  Releasables->Clear();
  Subscriptions.clear();
  InFlight->Clear();
  for (int n = 1; n <= TimerCount; ++n) StopTimer(n);
  FReceivePass->stop();
  // A link going away with its owner reports nothing.
  Link->OnSessionConnected = nullptr;
  Link->OnSessionClosed = nullptr;
  Link->OnDataAvailable = nullptr;
  try {
    Link->Close();
  } catch (const std::exception &) {
  }
  Link.reset();
}

// ---- timers -----------------------------------------------------------------

void TMQTTClient::ArmTimer(int Number, int Milliseconds) { Timers[Number - 1]->start(Milliseconds); }

void TMQTTClient::StopTimer(int Number) { Timers[Number - 1]->stop(); }

void TMQTTClient::TimerProc(int Number) {
  StopTimer(Number);
  switch (Number) {
  case ConnectTimer:
    Mon("Connecting to " + FHost + " on Port " + std::to_string(FPort) +
        (Link->WsEnable() || Link->Proxy().Kind ? " (" + Link->PathName() + ")" : std::string()));
    try {
      // MQTT 3.1 brokers know their WebSocket protocol by its old name.
      if (Link->WsEnable()) Link->WsSettings().Protocol = ProtocolLevel() == plMQTT31 ? "mqttv3.1" : "mqtt";
      Link->SetAddr(FHost);
      Link->SetPort(std::to_string(FPort));
      Link->SetProto("tcp");
      ArmTimer(AttemptTimer, FAttemptTimeout);
      FAttemptOpen = true;
      Link->Connect();
    } catch (const std::exception &e) {
      // No close will follow an attempt that never started, so nothing else
      // would ever try again: schedule the next attempt here. (Nothing may
      // escape into the event loop either.)
      FAttemptOpen = true;
      AttemptFailed(std::string("Connect failed: ") + e.what());
      StopTimer(AttemptTimer);
      if (FEnable) ArmTimer(ConnectTimer, FReconnectDelay);
    }
    break;
  case PingTimer:
  case RetryTimer:
    // An exception must not reach the event loop; like one escaping a socket
    // handler, it ends the connection (a sweep cut short would never resume).
    try {
      if (Number == PingTimer)
        Ping();
      else
        RetrySweep();
    } catch (const std::exception &e) {
      Mon(std::string("Closing the connection: ") + e.what());
      try {
        Link->CloseDelayed();
      } catch (const std::exception &) {
      }
    }
    break;
  case AttemptTimer:
    AttemptExpired();
    break;
  case PingWatchTimer:
    PingUnanswered();
    break;
  }
}

// The attempt has run out of time; name the step it was stuck in.
void TMQTTClient::AttemptExpired() {
  const std::string limit = " within " + Seconds(FAttemptTimeout);
  std::string reason;
  if (Link->State() != wsConnected)
    reason = "No TCP connection to " + FHost + " on Port " + std::to_string(FPort) + limit;
  else if (Link->SslEnable() && Link->SslState() != sslEstablished)
    reason = "No TLS handshake with " + FHost + limit;
  else
    reason = "No CONNACK from " + FHost + limit;
  GiveUpLink(reason);
}

void TMQTTClient::PingUnanswered() {
  GiveUpLink("No answer to PINGREQ within " + Seconds(std::max(MinPingWatch, KeepAlive() * 500)));
}

// Ends a link that stopped making progress. An abort, not a close: a graceful
// close (TLS close_notify, lingering) would wait on the very peer that stopped
// answering. The close event then brings the usual retry.
void TMQTTClient::GiveUpLink(const std::string &aReason) {
  if (FAttemptOpen)
    AttemptFailed(aReason + "; closing the connection.");
  else
    Mon(aReason + "; closing the connection.");
  try {
    Link->Abort();
  } catch (const std::exception &) {
  }
}

void TMQTTClient::AttemptFailed(const std::string &aReason) {
  if (!FAttemptOpen) return;
  FAttemptOpen = false;
  if (aReason == FLastFailure) return;
  FLastFailure = aReason;
  Mon(aReason);
}

// ---- lifecycle --------------------------------------------------------------

void TMQTTClient::Activate(bool Enable) {
  if (Enable == FEnable) return;
  FEnable = Enable;
  FAttemptOpen = false; // the close asked for below is no failure of an attempt
  if (Enable) {
    FLastFailure.clear();
    FLastViolation.clear();
  }
  try {
    // A stream the broker broke ends without the goodbye of a clean close,
    // and one the broker ended with its DISCONNECT needs none from us.
    if (Link->State() == wsConnected && !Parser->StreamBroken() && !FBrokerDisconnected) {
      Parser->SendDisconnect(DisconnectWithWill ? rcDisconnectWithWill : rcNormalDisconnection,
                             ProtocolLevel() == plMQTT5 ? DisconnectProperties : NoProperties);
      FGraceful = true;
    }
    Link->CloseDelayed();
  } catch (const std::exception &) {
  }
  if (Enable)
    ArmTimer(ConnectTimer, FFirstAttemptDelay);
  else
    for (int n = 1; n <= TimerCount; ++n) StopTimer(n);
  if (OnEnableChange) OnEnableChange(this);
}

void TMQTTClient::Restart() {
  if (!FEnable || FOnline) {
    Activate(true);
    return;
  }
  // Our own abort is no failure of the attempt; its close event arms the
  // usual reconnection delay, which the first-attempt delay then replaces.
  FAttemptOpen = false;
  FLastFailure.clear();
  FLastViolation.clear();
  try {
    Link->Abort();
  } catch (const std::exception &) {
  }
  ArmTimer(ConnectTimer, FFirstAttemptDelay);
}

void TMQTTClient::Mon(const std::string &aStr) {
  if (OnMon) OnMon(this, aStr);
}

// The per-packet lines; nothing is formatted when no one listens.
void TMQTTClient::MonID(const char *aBefore, std::uint16_t anID, const char *aAfter) {
  if (OnMon) OnMon(this, aBefore + std::to_string(anID) + aAfter);
}

void TMQTTClient::Ping() {
  // Each PINGRESP answers the oldest PINGREQ still out.
  if (Link->State() == wsConnected) FPingsOut.push_back(FTxSeq + 1);
  Parser->SendPing();
  // Only a PINGREQ that went out, under a keep-alive, waits for an answer.
  if (KeepAlive() != 0 && Link->State() == wsConnected && !FRxPaused && !Timers[PingWatchTimer - 1]->isActive())
    ArmTimer(PingWatchTimer, std::max(MinPingWatch, KeepAlive() * 500));
}

void TMQTTClient::SetWill(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos,
                          bool aRetain) {
  Parser->SetWill(aTopic, aMessage, aQos, aRetain);
}

void TMQTTClient::LinkSessionConnected(TWSocket *, std::uint16_t ErrCode) {
  if (ErrCode != 0) {
    // A name is looked up without blocking, so a failed lookup ends here too.
    AttemptFailed("Connect failed: " + (!Link->ProxyFailure().empty() ? "proxy: " + Link->ProxyFailure()
                                        : Link->LookupError().empty()
                                            ? WSocketErrorDesc(ErrCode) + " (#" + std::to_string(ErrCode) + ")"
                                            : Link->LookupError()));
    return;
  }
  FGraceful = false;
  Parser->Reset();
  FBrokerDisconnected = false;
  FRxHeld.clear();
  FRxHeldPos = 0;
  ++FLinkNo;
  // Nothing sent on an earlier connection will be answered any more.
  FAnsweredSeq = FTxSeq;
  FPingsOut.clear();
  // Also PUBRECs parsed after the close, from what had arrived before it.
  RepublishUnconfirmed();
  std::string id = ClientID();
  // 3.1.1 lets the broker assign an identifier to a clean session.
  const bool brokerAssigns = ProtocolLevel() >= plMQTT311 && Clean();
  if (id.empty() && !brokerAssigns) id = "CID" + Link->GetXPort();
  if (OnClientID) OnClientID(this, id);
  SetClientID(id);
  if (Clean()) {
    InFlight->Clear();
    Releasables->Clear();
    FReleasableBytes = 0;
  }
  if (ProtocolLevel() == plMQTT5) ConnectProperties5();
  if (FBroker)
    Parser->SendBrokerConnect(id, Username(), Password(), KeepAlive(), Clean());
  else
    Parser->SendConnect(id, Username(), Password(), KeepAlive(), Clean());
}

void TMQTTClient::LinkSessionClosed(TWSocket *, std::uint16_t) {
  DrainReceived();
  if (!std::exchange(FViolationClose, false)) FLastViolation.clear();
  AttemptFailed("Connect failed: " + ClosedBeforeAnswer(*Link));
  StopTimer(PingTimer);
  StopTimer(RetryTimer);
  StopTimer(AttemptTimer);
  StopTimer(PingWatchTimer);
  if (FOnline && OnOffline) OnOffline(this, FGraceful);
  FOnline = false;
  if (FEnable) ArmTimer(ConnectTimer, FReconnectDelay);
}

void TMQTTClient::LinkDataAvailable(TWSocket *, std::uint16_t ErrCode) {
  if (ErrCode != 0) return;
  // Any traffic back shows the link alive.
  StopTimer(PingWatchTimer);
  // Reading nothing makes the link pause its read notifications until the
  // next read: bytes already held, or one read in this pass, are enough.
  if (FRxHeldPos < FRxHeld.size() || FReadThisPass || FRxPaused) return;
  ReadAndParse();
}

void TMQTTClient::PauseReceiving(bool Pause) {
  if (std::exchange(FRxPaused, Pause) == Pause) return;
  if (Pause)
    StopTimer(PingWatchTimer);
  else
    FReceivePass->start(0); // what is held, then a read, which wakes the link's notifications
}

void TMQTTClient::ReadAndParse() {
  FRxHeld = Link->ReceiveStrA();
  FRxHeldPos = 0;
  if (FRxHeld.empty()) return;
  FReadThisPass = true;
  FReceivePass->start(0);
  ParseHeldSlice();
  if (FRxHeldPos < FRxHeld.size() || Link->GetRcvdCount() > 0)
    return;
  // A steady stream brings one packet per read, and the next pass would find
  // nothing. A paced client reads again once the pace allows: data that comes
  // before finds this pass's read done, which pauses the link's read
  // notifications until then. Otherwise the next read comes with the link's
  // next notification.
  if (FReadPaceMs > 0 && FReceivePass->isActive())
    FReceivePass->start(FReadPaceMs);
  else {
    FReceivePass->stop();
    FReadThisPass = false;
  }
}

// Parsing may raise events that close, reset or reconnect the link; what is
// held is taken off before it is parsed, so nothing is parsed twice.
void TMQTTClient::ParseHeldSlice() {
  const std::size_t n = std::min(ParseSlice, FRxHeld.size() - FRxHeldPos);
  const std::string slice = FRxHeld.substr(FRxHeldPos, n);
  FRxHeldPos += n;
  const bool outer = !std::exchange(FParsing, true);
  if (outer) FTxHolding = static_cast<bool>(OnAcknowledging);
  try {
    Parser->Parse(slice);
  } catch (...) {
    // What was delivered before the fault is acknowledged as usual.
    if (outer) FParsing = false;
    if (outer) SendHeldAcknowledgements();
    throw;
  }
  if (outer) FParsing = false;
  if (outer) SendHeldAcknowledgements();
}

void TMQTTClient::SendHeldAcknowledgements() {
  if (!std::exchange(FTxHolding, false)) return;
  const std::string held = std::exchange(FTxHeld, {});
  if (OnAcknowledging) OnAcknowledging(this);
  // A link closed meanwhile drops them, as it drops every packet.
  if (!held.empty() && Link->State() == wsConnected) Link->Send(held.data(), static_cast<int>(held.size()));
}

// The next pass: parse the next slice of what is held, or read again (which
// also resumes the link's read notifications) once everything is parsed.
void TMQTTClient::ContinueReceive() {
  FReadThisPass = false;
  if (FRxPaused) return;
  try {
    if (FRxHeldPos < FRxHeld.size()) {
      FReceivePass->start(0);
      ParseHeldSlice();
    } else if (Link->State() == wsConnected)
      ReadAndParse();
  } catch (const std::exception &e) {
    // As when a socket handler fails: the connection ends.
    Mon(std::string("Closing the connection: ") + e.what());
    try {
      Link->CloseDelayed();
    } catch (const std::exception &) {
    }
  }
}

// At a close, what arrived before it is still parsed, as it would have been
// without slicing: the last messages a broker sent before closing count.
void TMQTTClient::DrainReceived() {
  FReceivePass->stop();
  FReadThisPass = false;
  // A close from inside a handler of the parser cannot parse more in place.
  if (!FParsing) try {
    while (FRxHeldPos < FRxHeld.size()) ParseHeldSlice();
    for (std::string more; !(more = Link->ReceiveStrA()).empty();) {
      FRxHeld = std::move(more);
      FRxHeldPos = 0;
      while (FRxHeldPos < FRxHeld.size()) ParseHeldSlice();
    }
  } catch (const std::exception &e) {
    Mon(std::string("Received data dropped at the close: ") + e.what());
  }
  FRxHeld.clear();
  FRxHeldPos = 0;
}

void TMQTTClient::ParserBroken(TMQTTParser *, const std::string &aReason) {
  // Nothing more can be read from this connection; end it like any other close.
  FViolationClose = true;
  if (aReason != FLastViolation) Mon("Broken stream (" + aReason + "), closing the connection.");
  FLastViolation = aReason;
  // A level-5 broker is told why.
  if (ProtocolLevel() == plMQTT5 && Link->State() == wsConnected) Parser->SendDisconnect(Parser->BrokenReason());
  if (OnProtocolViolation) OnProtocolViolation(this, aReason);
  try {
    Link->CloseDelayed();
  } catch (const std::exception &) {
  }
}

void TMQTTClient::ParserSend(TMQTTParser *, std::uint16_t anID, std::int32_t Retry,
                             TByteStream &aStream) {
  if (Link->State() != wsConnected) return;
  StopTimer(PingTimer);
  if (KeepAlive() != 0) ArmTimer(PingTimer, KeepAlive() * 750);
  if (!aStream.Empty()) {
    const std::uint8_t first = aStream.Data()[0];
    const unsigned qos = (first >> 1) & 3, type = first >> 4;
    if ((qos == 1 || qos == 2) && (type == mtPUBLISH || type == mtSUBSCRIBE || type == mtUNSUBSCRIBE) &&
        anID != 0) {
      InFlight->AddPacket(anID, aStream, static_cast<std::uint32_t>(Retry), RetryTime())->TxSeq = FTxSeq + 1;
      MonID("Message ", anID, " created.");
    }
  }
  // No yield after the write: on this platform it costs a context switch per
  // packet on a busy machine and orders nothing, since everything runs on one loop.
  ++FTxSeq;
  if (FTxHolding)
    FTxHeld.append(reinterpret_cast<const char *>(aStream.Data()), aStream.Size());
  else
    Link->Send(aStream.Data(), static_cast<int>(aStream.Size()));
}

void TMQTTClient::ParserConnAck(TMQTTParser *, std::uint8_t aCode) {
  StopTimer(AttemptTimer);
  FAttemptOpen = false;
  if (aCode == 0) FLastFailure.clear();
  const bool level311 = ProtocolLevel() >= plMQTT311; // and level 5, which re-sends the same way
  Mon("Connection " + ConnAckText(aCode, ProtocolLevel()));
  if (ProtocolLevel() == plMQTT5) ConnAck5(aCode);
  if (aCode != 0) {
    Activate(false);
    return;
  }
  FOnline = true;
  FGraceful = false;
  FSessionPresent = Parser->RxSessionPresent;
  if (level311) {
    Mon(FSessionPresent ? "Session present." : "No session present.");
    // 3.1.1 re-sends only here, never on a timer while the connection lives.
    ResendUnacknowledged();
  } else
    ArmTimer(RetryTimer, SweepInterval);
  if (OnOnline) OnOnline(this);
  if (FAutoSubscribe)
    for (std::size_t i = 0; i < Subscriptions.size(); ++i) {
      const std::uint16_t id = NextMessageID();
      if (NoFreeID(id, "SUBSCRIBE")) break;
      const TTaggedString entry = Subscriptions[i]; // a handler may change the list
      // At 3.1.1 the SUBACK may refuse the filter: let it find the entry.
      if (level311) Subscriptions[i].Tag = static_cast<std::int32_t>(PackTag(id, 0, entry.Tag & 3));
      if (ProtocolLevel() == plMQTT5) {
        const auto options = FSubscribeOptions.find(entry.Text);
        SendSubscribe5(id, {{entry.Text, entry.Tag & 3}},
                       options == FSubscribeOptions.end() ? TSubscribeOptions{} : options->second);
      } else
        Parser->SendSubscribe(id, entry.Text, static_cast<TMQTTQOSType>(entry.Tag & 3));
    }
}

// ---- identifiers, publish, subscribe ------------------------------------------

std::uint16_t TMQTTClient::NextMessageID() {
  // Every identifier from 1 to 65,535 awaits an acknowledgement: none is free.
  if (InFlight->DistinctIDs() - (InFlight->HasID(0) ? 1 : 0) >= 65535) return 0;
  for (;;) {
    if (++FMessageID == 0) FMessageID = 1;
    if (!InFlight->HasID(FMessageID)) return FMessageID;
  }
}

bool TMQTTClient::NoFreeID(std::uint16_t anID, const char *aWhat) {
  if (anID != 0) return false;
  Mon(std::string("No free message identifier: ") + aWhat + " not sent.");
  return true;
}

void TMQTTClient::Publish(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos,
                          bool aRetain, const TMQTTProperties &aProps) {
  if (FLocalBounce && OnMsg)
    for (std::size_t i = 0; i < Subscriptions.size(); ++i)
      if (MatchTopic(Subscriptions[i].Text, aTopic)) {
        OnMsg(this, aTopic, aMessage, aQos, false);
        break;
      }
  if (ProtocolLevel() == plMQTT5) return Publish5(aTopic, aMessage, aQos, aRetain, aProps);
  const std::uint16_t id = NextMessageID();
  // A QoS 0 PUBLISH carries no identifier on the wire, so it goes out anyway.
  if ((aQos == qtAT_LEAST_ONCE || aQos == qtEXACTLY_ONCE) && NoFreeID(id, "PUBLISH")) return;
  Parser->SendPublish(id, aTopic, aMessage, aQos, false, aRetain);
}

void TMQTTClient::RecordSubscription(const std::string &aTopic, std::uint32_t aTag) {
  for (auto &entry : Subscriptions)
    if (entry.Text == aTopic) {
      entry.Tag = static_cast<std::int32_t>(aTag);
      return;
    }
  Subscriptions.push_back({aTopic, static_cast<std::int32_t>(aTag)});
}

void TMQTTClient::ForgetSubscription(const std::string &aTopic) {
  FSubscribeOptions.erase(aTopic);
  for (auto it = Subscriptions.rbegin(); it != Subscriptions.rend(); ++it)
    if (it->Text == aTopic) {
      Subscriptions.erase(std::next(it).base());
      return;
    }
}

void TMQTTClient::Subscribe(const std::string &aTopic, TMQTTQOSType aQos) {
  if (aTopic.empty()) return;
  if (ProtocolLevel() == plMQTT5) {
    const TTaggedStrings one{{aTopic, aQos}};
    return Subscribe(&one, TSubscribeOptions{});
  }
  const std::uint16_t id = NextMessageID();
  if (NoFreeID(id, "SUBSCRIBE")) return;
  RecordSubscription(aTopic, PackTag(id, 0, aQos));
  Parser->SendSubscribe(id, aTopic, aQos);
}

void TMQTTClient::Subscribe(const TTaggedStrings *Topics, const TSubscribeOptions &aOptions) {
  if (!Topics) return;
  const bool level5 = ProtocolLevel() == plMQTT5;
  if (!level5 && aOptions != TSubscribeOptions{})
    return Refused("SUBSCRIBE", 0, "subscription options need MQTT 5");
  if (level5 && SubscribeRefused5(*Topics, aOptions)) return;
  const std::uint16_t id = NextMessageID();
  if (NoFreeID(id, "SUBSCRIBE")) return;
  for (std::size_t i = 0; i < Topics->size(); ++i) {
    const unsigned q = (*Topics)[i].Tag & 3;
    // Positions past 254 do not fit the tag: such entries are never updated by a SUBACK.
    RecordSubscription((*Topics)[i].Text, i <= 254 ? PackTag(id, static_cast<unsigned>(i), q) : q);
    if (aOptions != TSubscribeOptions{})
      FSubscribeOptions[(*Topics)[i].Text] = aOptions;
    else
      FSubscribeOptions.erase((*Topics)[i].Text);
  }
  if (level5)
    SendSubscribe5(id, *Topics, aOptions);
  else
    Parser->SendSubscribe(id, *Topics);
}

void TMQTTClient::Unsubscribe(const std::string &aTopic) {
  if (aTopic.empty()) return;
  const std::uint16_t id = NextMessageID();
  if (NoFreeID(id, "UNSUBSCRIBE")) return;
  ForgetSubscription(aTopic);
  if (ProtocolLevel() == plMQTT5) FUnsubscribing[id] = {aTopic};
  Parser->SendUnsubscribe(id, aTopic);
}

void TMQTTClient::Unsubscribe(const TTaggedStrings *Topics, const TMQTTProperties &aProps) {
  if (!Topics) return;
  const std::uint16_t id = NextMessageID();
  if (NoFreeID(id, "UNSUBSCRIBE")) return;
  for (const auto &entry : *Topics) ForgetSubscription(entry.Text);
  if (ProtocolLevel() == plMQTT5) {
    std::vector<std::string> &filters = FUnsubscribing[id];
    filters.clear();
    for (const auto &entry : *Topics) filters.push_back(entry.Text);
  }
  Parser->SendUnsubscribe(id, *Topics, ProtocolLevel() == plMQTT5 ? aProps : NoProperties);
}

// ---- acknowledgements and delivery ---------------------------------------------

void TMQTTClient::ParserPubAck(TMQTTParser *, std::uint16_t anID) {
  NoteAnswer(anID);
  InFlight->DelPacket(anID);
  MonID("ACK Message ", anID, " disposed of.");
}

void TMQTTClient::ParserPubComp(TMQTTParser *, std::uint16_t anID) {
  NoteAnswer(anID);
  InFlight->DelPacket(anID);
  MonID("COMP Message ", anID, " disposed of.");
}

void TMQTTClient::ParserUnsubAck(TMQTTParser *, std::uint16_t anID) {
  NoteAnswer(anID);
  InFlight->DelPacket(anID);
  MonID("Message ", anID, " disposed of.");
}

void TMQTTClient::ParserPubRec(TMQTTParser *, std::uint16_t anID) {
  NoteAnswer(anID);
  if (TMQTTPacket *p = InFlight->GetPacket(anID)) {
    p->Counter = RetryTime();
    if (p->Publishing) {
      p->Publishing = false;
      MonID("REC Message ", anID, " recorded.");
      if (FConfirmPubRec && FAnsweredSeq <= p->TxSeq) return HoldPubRel(p);
    } else
      MonID("REC Message ", anID, " already recorded.");
    if (p->PubRelHeld) return;
    p->TxSeq = FTxSeq + 1; // the PUBREL below
  } else
    MonID("REC Message ", anID, " not found.");
  Parser->SendPubRel(anID, false);
}

void TMQTTClient::ParserSubAck(TMQTTParser *, std::uint16_t anID, const std::vector<TMQTTQOSType> &Qoss) {
  NoteAnswer(anID);
  InFlight->DelPacket(anID);
  MonID("Message ", anID, " disposed of.");
  const std::size_t positions = std::min<std::size_t>(Qoss.size(), 255);
  std::vector<std::pair<std::string, std::string>> refused; // filter, and at level 5 why
  for (auto &entry : Subscriptions) {
    const auto tag = static_cast<std::uint32_t>(entry.Tag);
    const unsigned position = (tag >> 8) & 0xFF;
    if ((tag >> 16) == anID && position < positions) {
      // Level 5 refuses with any reason code from 0x80 up.
      const bool level5Refusal = ProtocolLevel() == plMQTT5 && Qoss[position] >= qtSubscribeFailure;
      if (Qoss[position] == qtSubscribeFailure || level5Refusal) {
        // The requested QoS stays beside the mark, for a later re-subscription.
        entry.Tag = static_cast<std::int32_t>(0xFF00u + qtSubscribeFailure + (tag & 3));
        refused.emplace_back(entry.Text, level5Refusal ? ": " + ReasonOf5(Qoss[position], mtSUBACK) : "");
      } else
        entry.Tag = static_cast<std::int32_t>(0xFF00u + Qoss[position]);
    }
  }
  // Reported after the list is updated: a handler may subscribe or unsubscribe.
  for (const auto &[topic, why] : refused) {
    Mon("Subscription to " + topic + " refused" + why + ".");
    FSubRefusedReason = why.empty() ? why : why.substr(2);
    if (OnSubRefused) OnSubRefused(this, topic);
  }
  FSubRefusedReason.clear();
}

void TMQTTClient::ParserPublish(TMQTTParser *, std::uint16_t anID, const std::string &aTopic,
                                const std::string &aMessage) {
  const bool retained = Parser->RxRetain;
  const TMQTTQOSType qos = Parser->RxQos;
  // A repeated QoS 2 message was accepted the first time; it is answered again.
  const bool stored = qos == qtEXACTLY_ONCE && Releasables->GetMsg(anID);
  if (!stored && qos != qtReserved3 && OnAccept && !OnAccept(this, aTopic, retained)) return;
  FDeliveredID = anID;
  switch (qos) {
  case qtAT_MOST_ONCE:
    if (OnMsg) OnMsg(this, aTopic, aMessage, qtAT_MOST_ONCE, retained);
    break;
  case qtAT_LEAST_ONCE:
    if (!FAckAfterDelivery) Parser->SendPubAck(anID);
    if (OnMsg) OnMsg(this, aTopic, aMessage, qtAT_LEAST_ONCE, retained);
    if (FAckAfterDelivery) Parser->SendPubAck(anID);
    break;
  case qtEXACTLY_ONCE:
    if (stored) {
      Parser->SendPubRec(anID);
      MonID("Message ", anID, " already stored.");
    } else if (!ReleasablesFull(aTopic.size() + aMessage.size())) {
      Parser->SendPubRec(anID);
      Releasables->AddMsg(anID, aTopic, aMessage, qtEXACTLY_ONCE, 0, 0, retained);
      FReleasableBytes += aTopic.size() + aMessage.size();
      MonID("Message ", anID, " stored and idle.");
    }
    break;
  case qtReserved3:
    break;
  }
}

void TMQTTClient::ParserPubRel(TMQTTParser *, std::uint16_t anID) {
  if (TMQTTMessage *m = Releasables->GetMsg(anID)) {
    if (OnMon) Mon("REL Message " + N(anID) + " publishing @ " + std::string(QosDisplayNames[m->Qos & 3]));
    // Copies: a handler running nested events may release the entry meanwhile.
    const std::string topic = m->Topic, message = m->Message;
    const TMQTTQOSType qos = m->Qos;
    const bool retained = m->Retained;
    FDeliveredID = anID;
    if (OnMsg) OnMsg(this, topic, message, qos, retained);
    FReleasableBytes -= std::min(FReleasableBytes, topic.size() + message.size());
    Releasables->Remove(m); // the returned owner frees the entry
    MonID("REL Message ", anID, " removed from storage.");
  } else
    MonID("REL Message ", anID, " has been already removed from storage.");
  Parser->SendPubComp(anID);
}

// A broker that keeps sending QoS 2 messages and never releases them would
// make the store grow without end: past the bounds the message is not
// acknowledged and the connection is closed; the broker sends it again later.
bool TMQTTClient::ReleasablesFull(std::size_t aSize) {
  const bool full = Releasables->Count() >= FMaxReleasables || FReleasableBytes + aSize > FMaxReleasableBytes;
  if (!full) return false;
  Mon("Received QoS 2 messages awaiting release reached " + std::to_string(Releasables->Count()) + " messages, " +
      std::to_string(FReleasableBytes) + " bytes (bounds " + std::to_string(FMaxReleasables) + " messages, " +
      std::to_string(FMaxReleasableBytes) + " bytes); closing the connection.");
  try {
    Link->CloseDelayed();
  } catch (const std::exception &) {
  }
  return true;
}

// A message over the size the parser keeps: acknowledged so that it cannot
// block the session (a broker would send it again and again), and reported.
void TMQTTClient::ParserPublishSkipped(TMQTTParser *, std::uint16_t anID, const std::string &aTopic,
                                       std::size_t aSize) {
  const TMQTTQOSType qos = Parser->RxQos;
  Mon("Message " + N(anID) + " on " + aTopic + " skipped: " + std::to_string(aSize) +
      " bytes is above the limit of " + std::to_string(Parser->MaxRxLength) + " bytes.");
  // At QoS 2 nothing is stored: the PUBREL finds no message and is completed.
  if (qos == qtAT_LEAST_ONCE)
    Parser->SendPubAck(anID);
  else if (qos == qtEXACTLY_ONCE)
    Parser->SendPubRec(anID);
  if (OnSkipped) OnSkipped(this, aTopic, aSize, qos);
}

// ---- retries ------------------------------------------------------------------

void TMQTTClient::RetrySweep() {
  // Countdowns advance only while the link is up; a sweep never re-issues into
  // a closed link (the entry would be lost) and never re-arms itself offline.
  for (int i = InFlight->Count() - 1; i >= 0 && Link->State() == wsConnected; --i) {
    TMQTTPacket *p = InFlight->GetItem(i);
    if (!p || p->Counter == 0 || p->Parked) continue;
    if (--p->Counter > 0) continue;
    ++p->Retries;
    // The broker answers in order. Until something sent after this packet has
    // been answered, its answer may still be on the way (a slow or stalled
    // link), and a copy would only arrive as a duplicate. Ask with a PINGREQ
    // instead: its watch ends a dead link, and once its PINGRESP is in, an
    // unanswered packet is one the broker left, and the copy goes at the next
    // expiry. Retries still count, so a link that never answers still fails.
    if (KeepAlive() != 0 && FAnsweredSeq < p->TxSeq && p->Retries <= MaxRetries()) {
      Mon("Message " + N(p->ID) + " unanswered and nothing sent after it answered yet; checking the link.");
      if (!Timers[PingWatchTimer - 1]->isActive()) Ping();
      p->Counter = RetryTime();
      continue;
    }
    if (p->Retries > MaxRetries()) {
      bool closeClient = true;
      if (OnFailure) OnFailure(this, 1, closeClient);
      if (closeClient) try {
          Link->CloseDelayed();
        } catch (const std::exception &) {
        }
    } else if (p->Publishing) {
      ReissuePublish(p);
    } else if (p->PubRelHeld) {
      MonID("REC Message ", p->ID, " not confirmed yet; checking the link.");
      if (FPingsOut.empty()) Ping();
      p->Counter = RetryTime();
    } else {
      Mon("Re-issuing PUBREL Message " + N(p->ID) + " Retry " + std::to_string(p->Retries));
      p->Counter = RetryTime();
      p->TxSeq = FTxSeq + 1;
      Parser->SendPubRel(p->ID, true);
    }
  }
  if (FOnline) ArmTimer(RetryTimer, SweepInterval);
}

// After a reconnection at 3.1.1 every packet still unacknowledged and not
// parked goes out again, in the order it was first sent and with its own
// identifier.
void TMQTTClient::ResendUnacknowledged() {
  std::vector<std::uint16_t> ids;
  for (int i = 0; i < InFlight->Count(); ++i) ids.push_back(InFlight->GetItem(i)->ID);
  for (const std::uint16_t id : ids) {
    if (Link->State() != wsConnected) return;
    TMQTTPacket *p = InFlight->GetPacket(id);
    if (p && !p->Parked) Resend(p); // else acknowledged by a handler meanwhile, or waiting
  }
}

// A PUBLISH with DUP, a PUBLISH the broker has received (PUBREC seen) as its
// PUBREL, a SUBSCRIBE or UNSUBSCRIBE as it was (their DUP bit is reserved).
void TMQTTClient::Resend(TMQTTPacket *p) {
  if (!p->Publishing) {
    MonID("Re-sending PUBREL Message ", p->ID, ".");
    p->TxSeq = FTxSeq + 1;
    Parser->SendPubRel(p->ID, false);
    return;
  }
  std::unique_ptr<TMQTTPacket> old = InFlight->Remove(p);
  MonID("Re-sending Message ", old->ID, ".");
  if (!old->Msg.Empty() && (old->Msg.Data()[0] >> 4) == mtPUBLISH) SetDupFlag(old->Msg, true);
  ParserSend(Parser.get(), old->ID, old->Retries, old->Msg);
}

void TMQTTClient::Unpark(TMQTTPacket *p) {
  if (!p->Parked) return;
  p->Parked = false;
  if (ProtocolLevel() < plMQTT311)
    p->Counter = 1;
  else if (FOnline && Link->State() == wsConnected)
    Resend(p);
}

void TMQTTClient::NoteAnswer(std::uint16_t anID) {
  if (const TMQTTPacket *p = InFlight->GetPacket(anID)) NoteAnswered(p->TxSeq);
}

// The broker answers in order: an answer to the packet sent as aSeq shows
// that it read everything sent before it, and did not close after any of it.
void TMQTTClient::NoteAnswered(std::uint64_t aSeq) {
  FAnsweredSeq = std::max(FAnsweredSeq, aSeq);
  if (FPubRelsHeld > 0) ReleaseConfirmed();
}

// Until something sent after this PUBLISH is answered, its PUBREC may be the
// last word of a broker that refused it; a PINGREQ asks when no other answer is due.
void TMQTTClient::HoldPubRel(TMQTTPacket *p) {
  p->PubRelHeld = true;
  ++FPubRelsHeld;
  MonID("REC Message ", p->ID, ": its PUBREL waits for an answer to something sent after it.");
  bool answerDue = !FPingsOut.empty() && FPingsOut.back() > p->TxSeq;
  for (int i = 0; i < InFlight->Count() && !answerDue; ++i) {
    const TMQTTPacket *q = InFlight->GetItem(i);
    answerDue = !q->PubRelHeld && q->TxSeq > p->TxSeq;
  }
  if (!answerDue) Ping();
}

void TMQTTClient::ReleaseConfirmed() {
  FPubRelsHeld = 0;
  for (int i = 0; i < InFlight->Count(); ++i) {
    TMQTTPacket *p = InFlight->GetItem(i);
    if (!p->PubRelHeld) continue;
    if (p->TxSeq >= FAnsweredSeq) {
      ++FPubRelsHeld;
      continue;
    }
    p->PubRelHeld = false;
    p->Counter = RetryTime();
    p->TxSeq = FTxSeq + 1; // the PUBREL below
    Parser->SendPubRel(p->ID, false);
  }
}

// A PUBREC never confirmed on the link that closed proves nothing: the
// PUBLISH goes again, and a broker that did take it answers the copy with
// another PUBREC and delivers nothing twice (its PUBREL never went out).
void TMQTTClient::RepublishUnconfirmed() {
  if (FPubRelsHeld == 0) return;
  FPubRelsHeld = 0;
  for (int i = 0; i < InFlight->Count(); ++i)
    if (TMQTTPacket *p = InFlight->GetItem(i); p->PubRelHeld) {
      p->PubRelHeld = false;
      p->Publishing = true;
      MonID("Message ", p->ID, ": its PUBREC was not confirmed before the close; the PUBLISH goes again.");
    }
}

void TMQTTClient::ReissuePublish(TMQTTPacket *p) {
  // A broker holding a QoS 2 message that awaits its PUBREL ends the session,
  // as a protocol error, on the second copy of it within one connection (so
  // mosquitto); one copy per connection is all that may go out.
  const std::uint8_t first = p->Msg.Empty() ? 0 : p->Msg.Data()[0];
  const bool qos2Publish = (first >> 4) == mtPUBLISH && ((first >> 1) & 3) == qtEXACTLY_ONCE;
  if (qos2Publish && p->CopiedOnLink == FLinkNo) {
    Mon("Message " + N(p->ID) + " already re-sent on this connection; the next copy waits for a new one.");
    p->Counter = RetryTime();
    return;
  }
  std::unique_ptr<TMQTTPacket> old = InFlight->Remove(p);
  MonID("Message ", old->ID, " disposed of..");
  Mon("Re-issuing Message " + N(old->ID) + " Retry " + std::to_string(old->Retries));
  SetDupFlag(old->Msg, true);
  const int before = InFlight->Count();
  ParserSend(Parser.get(), old->ID, old->Retries, old->Msg);
  if (InFlight->Count() > before) InFlight->GetItem(InFlight->Count() - 1)->CopiedOnLink = FLinkNo;
}

// ---- properties -----------------------------------------------------------------

std::string TMQTTClient::ClientID() const { return Parser->ClientID; }
void TMQTTClient::SetClientID(const std::string &Value) { Parser->ClientID = Value; }
std::uint16_t TMQTTClient::KeepAlive() const { return Parser->KeepAlive(); }
void TMQTTClient::SetKeepAlive(std::uint16_t Value) { Parser->SetKeepAlive(Value); }
std::int32_t TMQTTClient::MaxRetries() const { return Parser->MaxRetries; }
void TMQTTClient::SetMaxRetries(std::int32_t Value) { Parser->MaxRetries = static_cast<std::uint16_t>(Value); }
std::uint32_t TMQTTClient::RetryTime() const { return Parser->RetryTime; }
void TMQTTClient::SetRetryTime(std::uint32_t Value) { Parser->RetryTime = static_cast<std::uint16_t>(Value); }
bool TMQTTClient::Clean() const { return Parser->Clean; }
void TMQTTClient::SetClean(bool Value) { Parser->Clean = Value; }
std::string TMQTTClient::Username() const { return Parser->UserName; }
void TMQTTClient::SetUsername(const std::string &Value) { Parser->UserName = Value; }
std::string TMQTTClient::Password() const { return Parser->Password; }
void TMQTTClient::SetPassword(const std::string &Value) { Parser->Password = Value; }
