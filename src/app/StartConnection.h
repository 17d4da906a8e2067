#pragma once
// Points a new window where its start options say: the Broker, Port, User and
// Client ID boxes, the "Use SSL" choice, and the client's protocol level,
// address family and TLS settings. Options not given leave the window as it
// starts.

#include <QString>

struct TStartOptions;
class TfrmMain;

// Empty on success; otherwise why a certificate or key cannot be used.
QString ApplyStartOptions(TfrmMain &Window, const TStartOptions &Options);
