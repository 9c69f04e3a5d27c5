// The bridge's page and its HTTP interface ([HTTP]): for the people who
// switch feeds, and for hubs and scripts. Its parts: the transport and the
// bounds of a request (Transport.h), the event streams (Streams.h), and the
// routes, a table (below) whose handlers belong to the resources they serve:
// the page's files (PageFiles.h), sessions (SessionResource.h), units
// (UnitResource.h), salvos (SalvoResource.h), and the live picture with the
// record and the page's rules (EventResource.h). Every request is checked
// here, at the bridge, never in the browser.
#pragma once

#include <QObject>
#include <vector>

#include "core/Core.h"
#include "core/Face.h"
#include "web/EventResource.h"
#include "web/Routes.h"
#include "web/SalvoResource.h"
#include "web/SessionResource.h"
#include "web/Streams.h"
#include "web/Transport.h"
#include "web/UnitResource.h"
#include "web/WebSection.h"

namespace bridge {

class WebFace : public QObject, public SectionFace {
 public:
  WebFace(const HttpConfig& config, Core& core);
  ~WebFace() override;

  // The page keeps its listener, and its clients, while LISTEN and TLS
  // stay; the rest of [HTTP] (its users above all) applies as it runs.
  bool Reconfigure(const FaceSettings& settings) override;
  void UnitsChanged(const std::vector<Unit*>&) override { events_.UnitsChanged(); }
  void UnitChanged(const Unit& unit) override { events_.UnitChanged(unit); }
  void Recorded(const RecordEntry& entry) override { events_.Recorded(entry); }
  void SalvosChanged() override { events_.SalvosChanged(); }

 private:
  std::vector<Route> Routes();

  HttpConfig config_;
  HttpTransport transport_;
  EventStreams streams_;
  SessionResource sessions_;
  UnitResource units_;
  SalvoResource salvos_;
  EventResource events_;
  Router router_;
};

}  // namespace bridge
