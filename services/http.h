#pragma once
// HTTP for scripts: one client request per call on a fresh connection, and a
// minimal server the script drives one request at a time. Every wait is cut
// into short slices and ends when stop says so.
#include <string>

#include "platform/socketbase.h"
#include "services/httpparse.h"

struct HttpResult {
  std::string head;  // status line and fields, blank line included
  std::string body;
};

// One request. The body length (0 when none), -1 connect failed (or a bad
// port), -2 the request could not be sent, a malformed or oversized response,
// or two heads without the second's blank line; 0 no response head in time
// or the connection closed first, or the line stopped inside a chunked body.
// A chunked body that stops before its last chunk gives the chunks received
// whole by then (in out->body) and their length. out->body is empty
// whenever the result is not above 0.
int HtmlRecv(const std::string& url, const std::string& method, std::string_view body,
             const std::string& contentType, HttpResult* out, const StopCheck& stop);
// The request head exactly as sent (the body follows it).
std::string HttpRequestHead(const std::string& method, const std::string& path, const std::string& host, int port,
                            size_t bodyLen, const std::string& contentType);

// A listening socket on the port (backlog 10), recorded for the line; -1.
// Every line may receive, answer and close on the sockets a script opened.
int HttpServerOpen(int port, int ownerLine);
struct HttpRequest {
  std::string head;
  std::string body;
  std::string peer;  // dotted address when the request came on a new connection
};
// One request from a listening socket (accepting its connection) or from a
// connection kept by the script: the connection's socket (recorded for the
// line that accepted it); -1 nothing waiting or the request failed (the
// connection is closed); -2 not a socket a script opened, or an error on it.
// A request whose head and body are not all in within 30 s has its
// connection closed (-1).
int HttpServerRecv(int socket, int ownerLine, HttpRequest* out, const StopCheck& stop);
// For tests: the time a request may take instead of the 30 s (0 or less puts
// the 30 s back); the previous value.
int HttpServerSetRequestLimit(int ms);
// Answers on a connection: the body's count (the head's when no body), 0
// when head and body are empty (the connection is closed), -1 not a socket
// a script opened, or it could not all be sent (the peer went away or the
// line stopped; the connection is closed).
int HttpServerSend(int socket, int ownerLine, std::string_view head, std::string_view body, const StopCheck& stop);
// Closes a socket a script opened; false when it is none.
bool HttpServerClose(int socket, int ownerLine);
// The response head sent when the script gives none.
std::string HttpDefaultHead(size_t bodyLen);
// The head a script gave, ended by exactly one blank line and given a
// Content-Length when it has none.
std::string HttpCompleteHead(std::string_view head, size_t bodyLen);
