#pragma once
// Exit codes of vyr-cli; the help text lists them for scripts.

enum CliExit : int {
  ExitOk = 0,
  ExitConnection = 1, // host unreachable or unknown, connection lost, TLS failed, input unreadable
  ExitUsage = 2,      // bad command line
  ExitRefused = 3,    // the broker refused the connection (CONNACK code not 0)
  ExitTimeout = 4,    // -W ran out before the work was done
  ExitDelivery = 5,   // a publication or subscription ran out of retries
  ExitTlsVerify = 6,  // TLS certificate check failed: the broker's, or the broker's check of ours
  ExitProtocol = 7,   // the broker broke the protocol (a malformed packet)
  ExitSession = 8,    // pub -c: the session file cannot be used or saved (it is left as it is)
  // MQTT 5 only: the run goes on past such a refusal and ends with its code.
  ExitPublishRefused = 9,    // a publication refused: by the broker's reason code, or over a limit it announced
  ExitSubscribeRefused = 10, // a subscription refused over a limit the broker announced, or an unsubscription refused
  ExitBrokerDisconnect = 11, // the broker ended the connection with a DISCONNECT and its reason
};
