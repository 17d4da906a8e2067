#include "SessionFile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

constexpr const char *Magic = "vyr-mqtt session 1";

std::string Field(const std::string &aName, const std::string &aValue) {
  return aName + " " + std::to_string(aValue.size()) + " " + aValue + "\n";
}

// Reads "name <length> <bytes>\n"; false when the input does not hold exactly that.
bool ReadField(std::istream &in, const std::string &aName, std::string &aValue) {
  std::string name;
  std::size_t length = 0;
  if (!(in >> name >> length) || name != aName || in.get() != ' ' || length > (1u << 28)) return false;
  aValue.assign(length, '\0');
  if (!in.read(aValue.data(), std::streamsize(length))) return false;
  return in.get() == '\n';
}

struct TSavedPacket {
  std::uint16_t ID = 0;
  bool Publishing = true;
  std::string Bytes;
};

} // namespace

std::string DefaultSessionFile(const std::string &aClientID) {
  std::string base;
  if (const char *state = std::getenv("XDG_STATE_HOME"); state && *state)
    base = state;
  else if (const char *home = std::getenv("HOME"); home && *home)
    base = std::string(home) + "/.local/state";
  else
    return {};
  std::string name;
  static const char hex[] = "0123456789ABCDEF";
  for (unsigned char c : aClientID) {
    if (std::isalnum(c) || c == '.' || c == '_' || c == '-')
      name += char(c);
    else {
      name += '%';
      name += hex[c >> 4];
      name += hex[c & 15];
    }
  }
  return base + "/vyr-mqtt/sessions/" + name + ".session";
}

bool SaveSessionFile(const std::string &aPath, const TSessionKey &aKey, const TMQTTPacketStore &aStore,
                     std::string &aError) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (aStore.Count() == 0) {
    fs::remove(aPath, ec);
    if (ec) aError = aPath + ": " + ec.message();
    return !ec;
  }
  fs::create_directories(fs::path(aPath).parent_path(), ec);
  std::string text = std::string(Magic) + "\n" + Field("host", aKey.Host) +
                     Field("port", std::to_string(aKey.Port)) + Field("client", aKey.ClientID);
  for (int i = 0; i < aStore.Count(); ++i) {
    const TMQTTPacket *p = aStore.GetItem(i);
    text += Field("packet", std::to_string(p->ID) + (p->Publishing || p->PubRelHeld ? " publishing" : " released"));
    text += Field("bytes", std::string(p->Msg.View()));
  }
  text += "end\n";
  const std::string temp = aPath + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out.write(text.data(), std::streamsize(text.size())) || !out.flush()) {
      aError = temp + ": " + std::strerror(errno);
      out.close();
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, aPath, ec);
  if (ec) {
    aError = aPath + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

bool LoadSessionFile(const std::string &aPath, const TSessionKey &aKey, TMQTTPacketStore &aStore,
                     std::uint32_t aCount, std::string &aError) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) return true; // nothing left from an earlier run
  std::string magic, host, port, client;
  std::vector<TSavedPacket> saved;
  bool whole = std::getline(in, magic) && magic == Magic && ReadField(in, "host", host) &&
               ReadField(in, "port", port) && ReadField(in, "client", client);
  while (whole) {
    if (in >> std::ws && in.peek() == 'e') {
      std::string end;
      whole = std::getline(in, end) && end == "end";
      break;
    }
    std::string head, bytes;
    whole = ReadField(in, "packet", head) && ReadField(in, "bytes", bytes);
    if (!whole) break;
    std::istringstream fields(head);
    unsigned id = 0;
    std::string state;
    whole = (fields >> id >> state) && id > 0 && id <= 65535 && (state == "publishing" || state == "released") &&
            !bytes.empty();
    if (whole) saved.push_back({std::uint16_t(id), state == "publishing", std::move(bytes)});
  }
  if (!whole) {
    aError = aPath + ": not a complete session file; left as it is";
    return false;
  }
  if (host != aKey.Host || port != std::to_string(aKey.Port) || client != aKey.ClientID) {
    aError = aPath + ": saved for " + client + " at " + host + ":" + port + "; left as it is";
    return false;
  }
  for (auto &s : saved) {
    TByteStream bytes;
    bytes.Write(s.Bytes);
    TMQTTPacket *p = aStore.AddPacket(s.ID, bytes, 0, aCount);
    p->Publishing = s.Publishing;
  }
  std::error_code ec;
  std::filesystem::remove(aPath, ec);
  return true;
}
