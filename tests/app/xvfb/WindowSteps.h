#pragma once
// What the Xvfb tests do with the window, as a user does it with the
// keyboard, and where on the window they look.

#include <QRect>
#include <QString>

#include "TestBroker.h"
#include "XvfbDesktop.h"

// Areas of the window, in its own coordinates (group box + control position).
namespace Area {
const QRect Log(16, 24, 401, 247);
const QRect Status(145, 281, 143, 17);
const QRect Topics(16, 326, 605, 137);
const QRect ConnectionButtons(443, 186, 186, 49);
} // namespace Area

// Types host, port and client identifier into their boxes, chooses "Use SSL"
// No and presses Connect; true once the broker holds the retained "1" on the
// presence topic.
bool ConnectWithKeyboard(const TXvfbProgram &aApp, const TestBroker &aBroker, const QString &aClientID);
// Types a filter into the Topic box, picks the QoS and presses Subscribe
// (the client must be online); true once the broker has acknowledged it.
bool SubscribeWithKeyboard(const TXvfbProgram &aApp, const TestBroker &aBroker, const QString &aFilter,
                           int aQos);
// With the focus in a radio group of up to three items: the keys that select item aItem.
QStringList RadioItemKeys(int aItem);
// Checks "Save data" through the keyboard.
bool CheckSaveData(const TXvfbProgram &aApp);

// Gives the log box the focus with a click. (Alt+L is no sure way: a group
// box's accelerator goes back to the control last focused inside it.)
bool FocusLog(const TXvfbProgram &aApp);
// The log's text, copied with the keyboard as a user would (the log keeps
// the focus afterwards, with nothing selected).
QString LogText(const TXvfbProgram &aApp);
// Empties the log with "Clear Log", reached with the keyboard.
bool ClearLog(const TXvfbProgram &aApp);
// Types a port into its box, chooses "Use SSL" and presses Connect.
bool ConnectTo(const TXvfbProgram &aApp, int aPort, bool aTls);

// mosquitto_pub on loopback; extra arguments as the tool takes them.
bool PublishTo(const TestBroker &aBroker, const QStringList &aArguments);
// The retained value of a topic as a fresh subscriber sees it ("" for none).
QString RetainedValue(const TestBroker &aBroker, const QString &aTopic);
// The broker's log so far.
QString BrokerLogText(const TestBroker &aBroker);
// The content of a file, or "" when it cannot be read.
QByteArray FileContent(const QString &aPath);
