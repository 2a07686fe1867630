// The simulator's data: the built-in site and the JSON file form.
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "SiteSimulator.h"

namespace sitesim {

namespace {

using json = nlohmann::ordered_json;

std::vector<SiteEntry> EntriesFrom(const json& list) {
  std::vector<SiteEntry> entries;
  if (list.is_object()) {
    // {"Key": "value", ...}: read in the document's order.
    for (auto it = list.begin(); it != list.end(); ++it) {
      entries.push_back({it.key(), it.value().is_string() ? it.value().get<std::string>() : it.value().dump()});
    }
    return entries;
  }
  for (const auto& e : list) {
    SiteEntry entry;
    entry.key = e.value("key", std::string());
    const auto v = e.find("value");
    if (v != e.end()) entry.value = v->is_string() ? v->get<std::string>() : v->dump();
    entries.push_back(entry);
  }
  return entries;
}

json EntriesTo(const std::vector<SiteEntry>& entries) {
  json list = json::array();
  for (const auto& e : entries) list.push_back({{"key", e.key}, {"value", e.value}});
  return list;
}

const char* FaultKindName(SiteFault::Kind kind);

bool FaultKindFrom(const std::string& name, SiteFault::Kind& kind) {
  static const std::pair<const char*, SiteFault::Kind> kKinds[] = {
      {"none", SiteFault::kNone},
      {"delay", SiteFault::kDelay},
      {"stall", SiteFault::kStall},
      {"drop", SiteFault::kDropMidBody},
      {"malformed", SiteFault::kMalformedXml},
      {"empty", SiteFault::kEmptyBody},
      {"raw", SiteFault::kRawBody},
      {"status", SiteFault::kStatus},
      {"401", SiteFault::kChallenge401},
      {"407", SiteFault::kChallenge407},
      {"chunked", SiteFault::kChunked},
  };
  for (const auto& k : kKinds) {
    if (name == k.first) {
      kind = k.second;
      return true;
    }
  }
  return false;
}

const char* FaultKindName(SiteFault::Kind kind) {
  static const char* const kNames[] = {"none", "delay",  "stall", "drop", "malformed", "empty",
                                       "raw",  "status", "401",   "407",  "chunked"};
  return kNames[kind];
}

}  // namespace

SiteData SiteData::Default() {
  SiteData d;
  d.siteName = "site1";
  d.accounts.push_back({"host", "secret"});

  SiteConference weekly;
  weekly.confId = "123456";
  weekly.password = "meet";
  weekly.confToken = {
      {"ConfId", "123456"},      {"ConfName", "Weekly review"}, {"$SiteURL", "{base}site1/"},
      {"Token", "a1b2c3d4e5f6"}, {"Role", "attendee"},
  };
  weekly.downLoad = {
      {"LoaderURL", "{base}files/qmxloader.bin"},
      {"$ContentLanguage", "en"},
      {"Version", "2.1.0"},
      {"Mode", "1"},
  };
  d.conferences.push_back(weekly);

  SiteConference later = weekly;
  later.confId = "222222";
  later.password.clear();
  later.state = "notStarted";
  d.conferences.push_back(later);

  SiteConference ended = later;
  ended.confId = "333333";
  ended.state = "ended";
  d.conferences.push_back(ended);

  SiteConference locked = later;
  locked.confId = "444444";
  locked.state = "locked";
  d.conferences.push_back(locked);

  SiteFile loader;
  loader.path = "/files/qmxloader.bin";
  loader.content = "QMXLOADER demo payload: this stands in for the meeting loader.\n";
  loader.repeat = 64;
  d.files.push_back(loader);
  return d;
}

bool SiteData::FromJson(const std::string& text, SiteData& out, std::string& error) {
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = "not a JSON object";
    return false;
  }
  try {
    SiteData d;
    d.siteName = doc.value("siteName", d.siteName);
    for (const auto& a : doc.value("accounts", json::array())) {
      d.accounts.push_back({a.value("user", std::string()), a.value("password", std::string())});
    }
    for (const auto& c : doc.value("conferences", json::array())) {
      SiteConference conf;
      conf.confId = c.value("confId", std::string());
      conf.password = c.value("password", std::string());
      conf.state = c.value("state", conf.state);
      conf.errorCode = c.value("errorCode", std::string());
      conf.errorMessage = c.value("errorMessage", std::string());
      if (c.contains("confToken")) conf.confToken = EntriesFrom(c["confToken"]);
      if (c.contains("downLoad")) conf.downLoad = EntriesFrom(c["downLoad"]);
      if (conf.state != "open" && conf.state != "notStarted" && conf.state != "ended" && conf.state != "locked") {
        error = "conference " + conf.confId + ": unknown state \"" + conf.state + "\"";
        return false;
      }
      d.conferences.push_back(conf);
    }
    for (const auto& f : doc.value("files", json::array())) {
      SiteFile file;
      file.path = f.value("path", std::string());
      file.content = f.value("content", std::string());
      file.repeat = f.value("repeat", 1);
      if (file.path.empty() || file.path[0] != '/') {
        error = "file path must begin with \"/\": \"" + file.path + "\"";
        return false;
      }
      d.files.push_back(file);
    }
    if (doc.contains("fault")) {
      const json& f = doc["fault"];
      if (!FaultKindFrom(f.value("kind", std::string("none")), d.fault.kind)) {
        error = "unknown fault kind \"" + f.value("kind", std::string()) + "\"";
        return false;
      }
      d.fault.delayMs = f.value("delayMs", 0);
      d.fault.status = f.value("status", 500);
      d.fault.body = f.value("body", std::string());
      d.fault.user = f.value("user", std::string());
      d.fault.password = f.value("password", std::string());
      d.fault.pathPrefix = f.value("path", std::string());
      d.fault.times = f.value("times", -1);
    }
    out = d;
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

bool SiteData::LoadFile(const std::string& path, SiteData& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!FromJson(text.str(), out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

std::string SiteData::ToJson() const {
  json doc;
  doc["siteName"] = siteName;
  doc["accounts"] = json::array();
  for (const auto& a : accounts) doc["accounts"].push_back({{"user", a.user}, {"password", a.password}});
  doc["conferences"] = json::array();
  for (const auto& c : conferences) {
    json conf = {{"confId", c.confId}, {"password", c.password}, {"state", c.state}};
    if (!c.errorCode.empty()) {
      conf["errorCode"] = c.errorCode;
      conf["errorMessage"] = c.errorMessage;
    }
    conf["confToken"] = EntriesTo(c.confToken);
    conf["downLoad"] = EntriesTo(c.downLoad);
    doc["conferences"].push_back(conf);
  }
  doc["files"] = json::array();
  for (const auto& f : files) doc["files"].push_back({{"path", f.path}, {"content", f.content}, {"repeat", f.repeat}});
  if (fault.kind != SiteFault::kNone) {
    doc["fault"] = {{"kind", FaultKindName(fault.kind)},
                    {"delayMs", fault.delayMs},
                    {"status", fault.status},
                    {"body", fault.body},
                    {"user", fault.user},
                    {"password", fault.password},
                    {"path", fault.pathPrefix},
                    {"times", fault.times}};
  }
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace sitesim
