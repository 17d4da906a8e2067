#pragma once
// Points a new window where its start options say: the Broker, Port, User and
// Client ID boxes, the "Use SSL" choice, and the client's protocol level,
// address family, proxy, Unix socket and TLS settings (ALPN included). Options not given leave the window as it
// starts.

#include <QString>

#include <optional>
#include <string>

struct TStartOptions;
class TfrmMain;

// Empty on success; otherwise why a certificate or key cannot be used.
QString ApplyStartOptions(TfrmMain &Window, const TStartOptions &Options);

class TMQTTClient;
// The Broker box: a bare host name is used as it always was; a URL
// (ws://, wss://, mqtt://, mqtts://) also chooses the transport, and its port,
// when it has one, stands for the Port box. Empty, or what is wrong with it.
std::string BrokerBoxProblem(const std::string &Text);
// Points the client at the box's broker; with a URL, whether its scheme asks
// for TLS (the "Use SSL" choice then does not apply).
std::optional<bool> ApplyBrokerBox(TMQTTClient &Client, const std::string &Text);
