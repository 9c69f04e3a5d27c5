#include "web/SalvoResource.h"

#include "Json.h"
#include "Relays.h"
#include "json/BridgeJson.h"
#include "web/Body.h"

namespace bridge {

std::string SalvoListJson(const Core& core) {
  std::vector<std::string> salvos;
  for (const SalvoConfig& salvo : core.AllSalvos()) {
    std::vector<std::string> relays;
    for (const SalvoStep& step : salvo.steps) {
      relays.push_back(kdt::JsonObject()
                           .AddText("unit", step.unit)
                           .AddText("relay", std::string(1, kdt::RelayLetter(step.relay)))
                           .AddNumber("input", step.input)
                           .AddBool("changes", core.SalvoChanges(step))
                           .Text());
    }
    salvos.push_back(kdt::JsonObject()
                         .AddText("id", salvo.id)
                         .AddText("label", salvo.Shown())
                         .AddJson("relays", kdt::JsonArray(relays))
                         .AddNumber("differs", core.SalvoDiffers(salvo))
                         .Text());
  }
  return kdt::JsonArray(salvos);
}

void SalvoResource::List(RouteCall& call) {
  call.reply->Json(200, kdt::JsonObject().AddJson("salvos", SalvoListJson(core_)).Text());
}

void SalvoResource::Take(RouteCall& call) {
  if (core_.FindSalvo(call.params[0]) == nullptr) {
    return call.reply->Error(404, "no such salvo: " + call.request.path);
  }
  QJsonObject body;
  if (!call.request.body.isEmpty() && !ReadBody(call.request.body, {}, body)) {
    return call.reply->Error(400, "a take is {} or nothing");
  }
  std::shared_ptr<WebReply> pending(std::move(call.reply));
  core_.Take(call.params[0], call.caller.AsOwner(),
             [pending](const TakeResult& answer) { pending->Json(200, TakeJson(answer)); });
}

}  // namespace bridge
