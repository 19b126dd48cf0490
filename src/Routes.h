// The routes: one function per kind of request, chosen from a flat table.
#pragma once

#include <event2/http.h>

#include "Agent.h"
#include "Http.h"

namespace Routes {

// The document of every installed font.
void catalogue(Agent& agent, evhttp_request* req, const Http::Query& query);
// A stream of catalogue events.
void events(Agent& agent, evhttp_request* req, const Http::Query& query);
// The bytes of one listed font file.
void file(Agent& agent, evhttp_request* req, const Http::Query& query);

// Parses the request and replies through the first route that takes it.
void dispatch(Agent& agent, evhttp_request* req);

}  // namespace Routes
