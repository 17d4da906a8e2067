#include "StartConnection.h"

#include <QLineEdit>

#include "LogBox.h"
#include "StartOptions.h"
#include "TMQTTClient.h"
#include "TRadioGroup.h"
#include "TSslContext.h"
#include "untMain.h"

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
  if (Options.Ipv6)
    Window.mqt->Link->SetSocketFamily(sfAny);
  if (Options.LogLines)
    Window.memLog->SetMaxLines(*Options.LogLines);

  TSslContext &Tls = Window.SslContext();
  // Given authorities mean the broker is checked against them, name included.
  Tls.SslVerifyPeer = !Options.CaFile.isEmpty() || !Options.CaPath.isEmpty();
  Tls.SslCAFile = Options.CaFile.toStdString();
  Tls.SslCAPath = Options.CaPath.toStdString();
  Tls.SslCertFile = Options.CertFile.toStdString();
  Tls.SslPrivKeyFile = Options.KeyFile.toStdString();
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
