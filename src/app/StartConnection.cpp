#include "StartConnection.h"

#include <QLineEdit>

#include "BrokerUrl.h"
#include "LogBox.h"
#include "StartOptions.h"
#include "TMQTTClient.h"
#include "TRadioGroup.h"
#include "TSslContext.h"
#include "untMain.h"

std::string BrokerBoxProblem(const std::string &Text)
{
  if (!LooksLikeUrl(Text))
    return {};
  TBrokerUrl Url;
  std::string Error;
  if (!ParseBrokerUrl(Text, Url, Error))
    return "Broker: " + Error;
  if (Url.Scheme != "mqtt" && Url.Scheme != "mqtts" && Url.Scheme != "ws" && Url.Scheme != "wss")
    return "Broker: the URL must start with mqtt://, mqtts://, ws:// or wss://, not " + Url.Scheme + "://";
  return {};
}

std::optional<bool> ApplyBrokerBox(TMQTTClient &Client, const std::string &Text)
{
  TBrokerUrl Url;
  std::string Error;
  if (!LooksLikeUrl(Text) || !ParseBrokerUrl(Text, Url, Error)) {
    Client.Link->SetWsEnable(false);
    return std::nullopt;
  }
  Client.SetHost(Url.Host);
  if (Url.Port)
    Client.SetPort(Url.Port);
  Client.Link->SetWsEnable(Url.WebSocket());
  Client.Link->WsSettings().Path = Url.Path.empty() ? "/" : Url.Path;
  return Url.Tls();
}

QString ApplyStartOptions(TfrmMain &Window, const TStartOptions &Options)
{
  if (Options.Broker)
    Window.edtBroker->setText(*Options.Broker);
  if (Options.Port)
    Window.edtPort->setText(*Options.Port);
  if (Options.User)
    Window.edtUser->setText(*Options.User);
  if (Options.ClientId)
    Window.edtClientID->setText(*Options.ClientId);
  if (Options.Ssl)
    Window.rdgSSL->SetItemIndex(*Options.Ssl ? 0 : 1);
  if (Options.Mqtt311)
    Window.mqt->SetProtocolLevel(plMQTT311);
  if (Options.Mqtt5)
    Window.mqt->SetProtocolLevel(plMQTT5);
  if (Options.SessionExpiry)
    Window.SetKeptSessionExpiry(*Options.SessionExpiry);
  if (Options.Ipv6)
    Window.mqt->Link->SetSocketFamily(sfAny);
  Window.mqt->Link->SetProxy(Options.Proxy);
  Window.mqt->Link->SetUnixPath(Options.UnixPath.toStdString());
  if (Options.LogLines)
    Window.memLog->SetMaxLines(*Options.LogLines);

  TSslContext &Tls = Window.SslContext();
  // Given authorities mean the broker is checked against them, name included.
  Tls.SslVerifyPeer = !Options.CaFile.isEmpty() || !Options.CaPath.isEmpty();
  Tls.SslCAFile = Options.CaFile.toStdString();
  Tls.SslCAPath = Options.CaPath.toStdString();
  Tls.SslCertFile = Options.CertFile.toStdString();
  Tls.SslPrivKeyFile = Options.KeyFile.toStdString();
  Tls.SslAlpn.clear();
  for (const QString &Name : Options.Alpn)
    Tls.SslAlpn.push_back(Name.toStdString());
  if (!Tls.SslVerifyPeer && Options.CertFile.isEmpty())
    return {};
  // Files that cannot be used are reported now, not as a failed connection.
  try {
    Tls.InitContext();
  } catch (const ESslContextException &E) {
    return QString::fromStdString(E.what());
  }
  return {};
}
