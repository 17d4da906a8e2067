#pragma once
// TMQTTClient: one MQTT session (3.1, 3.1.1 or 5) with one broker. It owns the protocol
// engine (Parser), the socket (Link), the store of unacknowledged outgoing
// packets (InFlight), the store of received QoS 2 messages awaiting release
// (Releasables) and the subscription list. While enabled it connects, sends
// CONNECT, goes online on an accepted CONNACK, pings after quiet spells,
// re-sends unacknowledged packets and reconnects six seconds after a close.
//
// Everything runs on the thread of the Qt event loop that owns the object.
// Events may call back into the client; such calls complete before the
// handler returns.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BrokerLimits.h"
#include "MQTTStores.h"
#include "SendQuota.h"
#include "SubscribeOptions.h"
#include "TopicAliases.h"
#include "TWSocket.h"
#include "TaggedStrings.h"
#include "uMQTT.h"

class QTimer;
class TMQTTClient;

using TMQTTClientMonEvent = std::function<void(TMQTTClient *Sender, const std::string &aStr)>;
using TMQTTClientNotifyEvent = std::function<void(TMQTTClient *Sender)>;
using TMQTTDisconnectEvent = std::function<void(TMQTTClient *Sender, bool Graceful)>;
using TMQTTMsgEvent = std::function<void(TMQTTClient *Sender, const std::string &aTopic,
                                         const std::string &aMessage, TMQTTQOSType aQos,
                                         bool aRetained)>;
// CloseClient is true on entry; a handler that sets it false keeps the connection.
using TMQTTFailureEvent =
    std::function<void(TMQTTClient *Sender, std::int32_t aReason, bool &CloseClient)>;
// A received message over the parser's MaxRxLength: acknowledged as usual
// but not delivered; aSize is the size of its PUBLISH body.
using TMQTTClientSkippedEvent = std::function<void(TMQTTClient *Sender, const std::string &aTopic, std::size_t aSize,
                                             TMQTTQOSType aQos)>;
// The handler may replace the identifier about to be sent in CONNECT.
using TMQTTClientIDEvent = std::function<void(TMQTTClient *Sender, std::string &aClientID)>;
// The broker refused a subscription to this filter (3.1.1 SUBACK code 0x80).
using TMQTTSubRefusedEvent = std::function<void(TMQTTClient *Sender, const std::string &aTopic)>;
// Asked before a new received message is acknowledged; false leaves it
// unacknowledged, unstored and undelivered, for the broker to deliver again
// to a later session.
using TMQTTAcceptEvent = std::function<bool(TMQTTClient *Sender, const std::string &aTopic, bool aRetained)>;
// Level 5: a request refused, by the broker (aReason its reason code) or before
// sending because the broker declared it cannot serve it (aReason 0); aWhat
// names the request ("PUBLISH 7 to a/b"), aText says why.
using TMQTTRefusedEvent = std::function<void(TMQTTClient *Sender, const std::string &aWhat, std::uint8_t aReason,
                                             const std::string &aText)>;
// Level 5: the broker's DISCONNECT, with its reason code and the text to show
// (the reason's name, then the broker's reason string if any).
using TMQTTBrokerDisconnectEvent =
    std::function<void(TMQTTClient *Sender, std::uint8_t aReason, const std::string &aText)>;

class TMQTTClient {
public:
  TMQTTClient();
  ~TMQTTClient();
  TMQTTClient(const TMQTTClient &) = delete;
  TMQTTClient &operator=(const TMQTTClient &) = delete;

  // Owned parts; public so that the window can set the link's TLS fields and
  // tools can inspect the stores.
  std::unique_ptr<TWSocket> Link;
  std::unique_ptr<TMQTTParser> Parser;
  std::unique_ptr<TMQTTPacketStore> InFlight;
  std::unique_ptr<TMQTTMessageStore> Releasables;
  // Filters subscribed through this client. Tag bits 0-7: QoS (requested,
  // then granted); 8-15: position in its SUBSCRIBE (255 once acknowledged);
  // 16-31: that SUBSCRIBE's identifier (0 once acknowledged). A filter the
  // broker refused carries 0x80 + the requested QoS in bits 0-7. At 3.1.1
  // AutoSubscribe's SUBSCRIBE packets tag their entries too.
  TTaggedStrings Subscriptions;

  // Events; an unassigned one is skipped.
  TMQTTClientIDEvent OnClientID;
  TMQTTClientMonEvent OnMon;
  TMQTTClientNotifyEvent OnOnline;
  TMQTTDisconnectEvent OnOffline;
  TMQTTClientNotifyEvent OnEnableChange;
  TMQTTFailureEvent OnFailure;
  TMQTTMsgEvent OnMsg;
  TMQTTClientSkippedEvent OnSkipped;
  TMQTTSubRefusedEvent OnSubRefused;
  TMQTTAcceptEvent OnAccept;
  // Raised after each slice of received bytes has been parsed, before the
  // acknowledgements it produced go to the link. While assigned, every packet
  // sent during parsing waits for it: a receiver that makes what it was
  // handed durable here (a flush) has done so before the broker lets go.
  TMQTTClientNotifyEvent OnAcknowledging;
  TMQTTRefusedEvent OnRefused;
  TMQTTBrokerDisconnectEvent OnBrokerDisconnect;
  // The broker broke the protocol (a malformed PUBLISH, a length the format
  // cannot hold): nothing of the offending packet was delivered or
  // acknowledged, and the connection is being closed. Raised before the close.
  TMQTTClientMonEvent OnProtocolViolation;

  // Enables (connect, and reconnect after every close) or disables (send
  // DISCONNECT when connected, close, stop every timer). A call that does not
  // change the state does nothing.
  void Activate(bool Enable);
  // Gives up the attempt under way, or the wait before the next one, and
  // starts a new attempt at once with the current settings; enables a
  // disabled client. For a client that is online this is Activate(true).
  void Restart();
  bool Enabled() const { return FEnable; }
  bool Online() const { return FOnline; }
  // The session-present flag of the last accepted CONNACK (always false at 3.1).
  bool SessionPresent() const { return FSessionPresent; }
  void Mon(const std::string &aStr);
  void Ping();
  void SetWill(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos,
               bool aRetain);
  // Level 5: the will's properties (will delay interval, payload format,
  // message expiry, content type, response topic, correlation data, user
  // properties). A list the will may not carry throws std::invalid_argument
  // saying why, and the properties stay as they were.
  void SetWillProperties(const TMQTTProperties &aProps);
  const TMQTTProperties &WillProperties() const { return Parser->WillProperties; }

  // The next packet identifier not held by an InFlight entry; 0 when all
  // 65,535 identifiers are held (the operation that asked then sends nothing).
  std::uint16_t NextMessageID();
  // Lets a parked InFlight entry go: at 3.1 it is re-sent at the next retry
  // sweep; at 3.1.1 at once while online, else at the next reconnection.
  void Unpark(TMQTTPacket *p);
  // Properties go with the message at level 5 only.
  void Publish(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos, bool aRetain,
               const TMQTTProperties &aProps = NoProperties);
  void Subscribe(const std::string &aTopic, TMQTTQOSType aQos);
  // Entries carry the requested QoS in the low two bits of their tag; a null
  // list does nothing, an empty one still sends a SUBSCRIBE without filters.
  // At level 5 every filter goes with the options (its QoS still from its
  // tag); at an earlier level options other than the defaults are refused
  // (OnRefused) and nothing is sent. AutoSubscribe subscribes again with them.
  void Subscribe(const TTaggedStrings *Topics, const TSubscribeOptions &aOptions = {});
  void Unsubscribe(const std::string &aTopic);
  // Properties go with it at level 5 only. At level 5 every filter the
  // UNSUBACK refuses is reported through OnRefused ("UNSUBSCRIBE from a/b")
  // with its reason.
  void Unsubscribe(const TTaggedStrings *Topics, const TMQTTProperties &aProps = NoProperties);

  // Properties.
  std::string ClientID() const;
  void SetClientID(const std::string &Value);
  std::uint16_t KeepAlive() const;
  void SetKeepAlive(std::uint16_t Value);
  std::int32_t MaxRetries() const;
  void SetMaxRetries(std::int32_t Value); // keeps the low 16 bits
  std::uint32_t RetryTime() const;        // in sweeps of 100 ms
  void SetRetryTime(std::uint32_t Value); // keeps the low 16 bits
  bool Clean() const;
  void SetClean(bool Value);
  bool Broker() const { return FBroker; }
  void SetBroker(bool Value) { FBroker = Value; }
  bool AutoSubscribe() const { return FAutoSubscribe; }
  void SetAutoSubscribe(bool Value) { FAutoSubscribe = Value; }
  std::string Username() const;
  void SetUsername(const std::string &Value);
  std::string Password() const;
  void SetPassword(const std::string &Value);
  // While a steady stream keeps coming, received data is read at most once
  // per this many milliseconds (0, the default: as soon as it arrives). A
  // window painted at a fixed pace shows nothing later for it, and wakes once
  // per interval instead of once per message. The first message after a
  // quiet spell is read at once, and a backlog is read on without waiting.
  int ReadPaceMs() const { return FReadPaceMs; }
  void SetReadPaceMs(int Value) { FReadPaceMs = Value > 0 ? Value : 0; }
  const std::string &Host() const { return FHost; }
  void SetHost(const std::string &Value) { FHost = Value; }
  std::int32_t Port() const { return FPort; }
  void SetPort(std::int32_t Value) { FPort = Value; }
  // MQTT 3.1 unless set to 3.1.1 before a connection starts. At 3.1.1 an
  // empty ClientID with Clean lets the broker choose the identifier, nothing
  // is re-sent on a timer, and unacknowledged packets are re-sent once after
  // every accepted reconnection.
  TMQTTProtocolLevel ProtocolLevel() const { return Parser->ProtocolLevel; }
  void SetProtocolLevel(TMQTTProtocolLevel Value) { Parser->ProtocolLevel = Value; }
  bool LocalBounce() const { return FLocalBounce; }
  void SetLocalBounce(bool Value) { FLocalBounce = Value; }
  // How long one connection attempt (TCP connect, TLS handshake and an
  // accepted CONNACK) may take before it is given up and retried, in ms.
  // Ten seconds: a healthy broker, even over TLS on a loaded machine, answers
  // within a second or two, and a dead one is retried before a user wonders.
  static constexpr int DefaultAttemptTimeout = 10000;
  // Received QoS 2 messages awaiting their PUBREL are kept up to these bounds
  // (count, and bytes of topics and payloads); past them the connection is
  // closed rather than memory grown for a broker that never releases.
  static constexpr int DefaultMaxReleasables = 10000;
  static constexpr std::size_t DefaultMaxReleasableBytes = 64u << 20;
  int MaxReleasables() const { return FMaxReleasables; }
  void SetMaxReleasables(int Value) { FMaxReleasables = Value; }
  std::size_t MaxReleasableBytes() const { return FMaxReleasableBytes; }
  void SetMaxReleasableBytes(std::size_t Value) { FMaxReleasableBytes = Value; }
  int AttemptTimeout() const { return FAttemptTimeout; }
  void SetAttemptTimeout(int Milliseconds) { FAttemptTimeout = Milliseconds; }
  // Wait between a close and the next connection attempt, in ms.
  static constexpr int DefaultReconnectDelay = 6000;
  int ReconnectDelay() const { return FReconnectDelay; }
  void SetReconnectDelay(int Milliseconds) { FReconnectDelay = Milliseconds; }
  // Wait between Activate(true) and the first connection attempt, in ms.
  static constexpr int DefaultFirstAttemptDelay = 100;
  int FirstAttemptDelay() const { return FFirstAttemptDelay; }
  void SetFirstAttemptDelay(int Milliseconds) { FFirstAttemptDelay = Milliseconds; }
  // QoS 1: send PUBACK after OnMsg has returned rather than before, so that
  // a handler that stores the message has done so when the broker lets go of it.
  bool AckAfterDelivery() const { return FAckAfterDelivery; }
  void SetAckAfterDelivery(bool Value) { FAckAfterDelivery = Value; }
  // QoS 2: a PUBREC is taken as the broker's hold on the message only once
  // the broker has answered something sent after that PUBLISH (a PINGREQ
  // asks when nothing else would); until then its PUBREL waits, and if the
  // link closes first, the PUBLISH goes again. A broker over its quota of
  // unreleased messages may answer with a PUBREC and close the connection
  // (mosquitto does); on an MQTT 3.1 or 3.1.1 link that PUBREC looks like
  // any other, and a PUBREL for it would complete a message never taken.
  bool ConfirmPubRec() const { return FConfirmPubRec; }
  void SetConfirmPubRec(bool Value) { FConfirmPubRec = Value; }
  // Stops reading from the link (true) or takes it up again (false). While
  // paused nothing more is read or delivered: TCP holds the broker back, and
  // the broker keeps QoS 1 and 2 messages it could not send. Bytes already
  // read are still parsed; an unanswered PINGREQ does not count against the
  // link meanwhile, since its answer waits unread.
  void PauseReceiving(bool Pause);
  bool ReceivingPaused() const { return FRxPaused; }
  // The packet identifier of the message OnMsg is delivering (0 at QoS 0).
  std::uint16_t DeliveredID() const { return FDeliveredID; }

  // Level 5 (MQTT 5 set as the protocol level). Session expiry interval in
  // CONNECT, in seconds; -1 (the default) follows Clean: a clean session ends
  // with the connection, any other lasts until the broker's own limit.
  std::int64_t SessionExpiry = -1;
  // How many topic aliases we let the broker use towards us (0: none).
  std::uint16_t TopicAliasMaximum = 0;
  // Send a repeated topic of a QoS 0 message as its alias alone, within the
  // broker's topic alias maximum.
  bool UseTopicAliases = false;
  // User properties sent with CONNECT.
  TMQTTProperties ConnectUserProperties;
  // Further CONNECT properties the caller asks for (request response or
  // problem information, an authentication method ...), sent after ours.
  TMQTTProperties MoreConnectProperties;
  // Properties of our DISCONNECT (a new session expiry interval, user properties).
  TMQTTProperties DisconnectProperties;
  // While OnSubRefused runs at level 5: the broker's reason (its name, then
  // the reason string if any); empty below level 5.
  const std::string &SubRefusedReason() const { return FSubRefusedReason; }
  // Our DISCONNECT asks the broker to publish the will (reason 0x04).
  bool DisconnectWithWill = false;
  // The properties of the message OnMsg is delivering (empty below level 5).
  const TMQTTProperties &MessageProperties() const { return FMessageProps; }
  // What the broker's last CONNACK announced.
  const TBrokerLimits &BrokerLimits() const { return FLimits; }
  // Publications waiting for the broker's receive maximum to let them go.
  std::size_t HeldPublications() const { return FQuota.Held.size(); }

private:
  // Timers 1 (connection attempt), 2 (keep-alive ping), 3 (retry sweep),
  // 4 (bound on an attempt), 5 (wait for traffic after a PINGREQ):
  // single-shot; arming an armed timer restarts it.
  void ArmTimer(int Number, int Milliseconds);
  void StopTimer(int Number);
  void TimerProc(int Number);
  void RetrySweep();
  void ReissuePublish(TMQTTPacket *p);
  void NoteAnswer(std::uint16_t anID);
  void NoteAnswered(std::uint64_t aSeq);
  void HoldPubRel(TMQTTPacket *p);
  void ReleaseConfirmed();
  void RepublishUnconfirmed();
  void AttemptExpired();
  void PingUnanswered();
  void GiveUpLink(const std::string &aReason);
  // Reports why the attempt under way failed, unless it failed for the same
  // reason as the last one: a broker that stays away is not reported anew
  // every six seconds.
  void AttemptFailed(const std::string &aReason);
  void ResendUnacknowledged();
  void Resend(TMQTTPacket *p);

  void LinkSessionConnected(TWSocket *Sender, std::uint16_t ErrCode);
  void LinkSessionClosed(TWSocket *Sender, std::uint16_t ErrCode);
  void LinkDataAvailable(TWSocket *Sender, std::uint16_t ErrCode);
  void ReadAndParse();
  void ParseHeldSlice();
  void ContinueReceive();
  void DrainReceived();
  void SendHeldAcknowledgements();

  void ParserSend(TMQTTParser *Sender, std::uint16_t anID, std::int32_t Retry,
                  TByteStream &aStream);
  void ParserConnAck(TMQTTParser *Sender, std::uint8_t aCode);
  void ParserPublish(TMQTTParser *Sender, std::uint16_t anID, const std::string &aTopic,
                     const std::string &aMessage);
  void ParserPubAck(TMQTTParser *Sender, std::uint16_t anID);
  void ParserPubRec(TMQTTParser *Sender, std::uint16_t anID);
  void ParserPubRel(TMQTTParser *Sender, std::uint16_t anID);
  void ParserPubComp(TMQTTParser *Sender, std::uint16_t anID);
  void ParserSubAck(TMQTTParser *Sender, std::uint16_t anID, const std::vector<TMQTTQOSType> &Qoss);
  void ParserUnsubAck(TMQTTParser *Sender, std::uint16_t anID);
  void ParserBroken(TMQTTParser *Sender, const std::string &aReason);
  void ParserPublishSkipped(TMQTTParser *Sender, std::uint16_t anID, const std::string &aTopic, std::size_t aSize);
  bool ReleasablesFull(std::size_t aSize);

  // Level 5, each called from one place of the paths above (Level5.cpp).
  void ConnectProperties5();
  void ConnAck5(std::uint8_t aCode);
  void Publish5(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos, bool aRetain,
                const TMQTTProperties &aProps);
  void SendPublication5(const std::string &aTopic, const std::string &aMessage, TMQTTQOSType aQos, bool aRetain,
                        const TMQTTProperties &aProps);
  void SendHeld5();
  bool Received5(std::uint16_t anID, std::string &aTopic, const std::string &aMessage);
  bool Answered5(TMQTTMessageType aType, std::uint16_t anID);
  void Released5(std::uint16_t anID);
  void BrokerDisconnect5();
  void EndConnection5(std::uint8_t aReason, const std::string &aWhy);
  std::string ReasonOf5(std::uint8_t aCode, TMQTTMessageType aType) const;
  void Refused(const std::string &aWhat, std::uint8_t aReason, const std::string &aText);
  bool SubscribeRefused5(const TTaggedStrings &aFilters, const TSubscribeOptions &aOptions);
  void SendSubscribe5(std::uint16_t anID, const TTaggedStrings &aFilters, const TSubscribeOptions &aOptions);
  void Unsubscribed5(std::uint16_t anID);

  void RecordSubscription(const std::string &aTopic, std::uint32_t aTag);
  void ForgetSubscription(const std::string &aTopic);
  bool NoFreeID(std::uint16_t anID, const char *aWhat);
  void MonID(const char *aBefore, std::uint16_t anID, const char *aAfter);

  std::unique_ptr<QTimer> Timers[5];
  // Received bytes not parsed yet (from FRxHeldPos) wait for the next pass of
  // the event loop, so that one pass parses at most a bounded slice; while
  // any wait, the link's read notifications are paused.
  std::string FRxHeld;
  std::size_t FRxHeldPos = 0;
  bool FReadThisPass = false;
  bool FRxPaused = false;
  int FReadPaceMs = 0;
  bool FParsing = false;
  // Packets sent while parsing, held for OnAcknowledging.
  bool FTxHolding = false;
  std::string FTxHeld;
  std::unique_ptr<QTimer> FReceivePass;
  std::uint64_t FLinkNo = 0;          // counts established connections
  // Packets sent so far, and the latest of them known to have been answered
  // (an acknowledgement, or a PINGRESP), and the PINGREQs not yet answered.
  std::uint64_t FTxSeq = 0;
  std::uint64_t FAnsweredSeq = 0;
  std::deque<std::uint64_t> FPingsOut;
  std::uint16_t FMessageID = 0;
  std::string FHost;
  std::int32_t FPort = 1883;
  bool FEnable = false;
  bool FOnline = false;
  bool FSessionPresent = false;
  bool FGraceful = false;
  bool FLocalBounce = false;
  bool FAutoSubscribe = false;
  bool FBroker = false;
  int FAttemptTimeout = DefaultAttemptTimeout;
  int FMaxReleasables = DefaultMaxReleasables;
  std::size_t FMaxReleasableBytes = DefaultMaxReleasableBytes;
  std::size_t FReleasableBytes = 0; // topics and payloads held in Releasables
  // Connect called, and neither a CONNACK nor a failure seen since.
  bool FAttemptOpen = false;
  // The reason of the last failed attempt; cleared by an accepted CONNACK and
  // by new settings (enabling, Restart).
  std::string FLastFailure;
  // The broker's last protocol violation, said once while it recurs at every
  // reconnection; cleared by a close that follows none, and by new settings.
  std::string FLastViolation;
  bool FViolationClose = false; // the close under way follows a violation
  int FFirstAttemptDelay = DefaultFirstAttemptDelay;
  int FReconnectDelay = DefaultReconnectDelay;
  bool FAckAfterDelivery = false;
  bool FConfirmPubRec = false;
  int FPubRelsHeld = 0; // InFlight entries with PubRelHeld
  std::uint16_t FDeliveredID = 0;
  TBrokerLimits FLimits;
  TSendQuota FQuota;
  TIncomingTopicAliases FAliasesIn;
  TOutgoingTopicAliases FAliasesOut;
  TMQTTProperties FMessageProps;
  std::string FSubRefusedReason;
  std::map<std::uint16_t, TMQTTProperties> FReleasableProps; // QoS 2 messages awaiting PUBREL
  std::map<std::string, TSubscribeOptions> FSubscribeOptions;  // filters subscribed with options
  std::map<std::uint16_t, std::vector<std::string>> FUnsubscribing; // UNSUBSCRIBE awaiting its UNSUBACK
  bool FBrokerDisconnected = false; // the broker's DISCONNECT came on this connection
};
