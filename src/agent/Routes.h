// The routes: one function per kind of request, chosen from a flat table.
#pragma once

#include <event2/http.h>

#include "agent/Agent.h"
#include "http/Http.h"

namespace Routes {

// The document of every installed font, plain or detailed.
void catalogue(Agent& agent, const Http::Exchange& exchange, const Http::Query& query);
// One face of each family, subset for a text, streamed.
void menu(Agent& agent, const Http::Exchange& exchange, const Http::Query& query);
// A stream of catalogue events.
void events(Agent& agent, const Http::Exchange& exchange, const Http::Query& query);
// The bytes of one listed font file, or of one face of it, or a subset of a face for a text.
void file(Agent& agent, const Http::Exchange& exchange, const Http::Query& query);

// Answers what the HTTP layer answers itself, then replies through the first route that takes
// the request.
void dispatch(Agent& agent, evhttp_request* req);
// The request handler's argument that sends every request to dispatch with `agent`.
VornFontAgent::RequestRouter routerFor(Agent& agent);

}  // namespace Routes
