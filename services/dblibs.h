#pragma once
// The database client libraries (MySQL/MariaDB client, gateway, SQL Server
// DB-Library), loaded by name when the line manager starts and freed when
// it goes. Each is bound function by function and handed to its data sets'
// client table (dbclients.h); the data sets of each kind open with a failure
// when their library is not bound. What happened is written to the raw trace.
//
// RODIZ_DBLIB_MYSQL, RODIZ_DBLIB_GATEWAY and RODIZ_DBLIB_SQLSERVER name
// another file to load in place of the default (tests, other installs).
#include <string>

// Which library.
enum TagDbLibrary : int { kDbLibMySql = 0, kDbLibGateway = 1, kDbLibSqlServer = 2, kDbLibCount = 3 };

// The file loaded by default.
const char* DbLibraryName(int which);
// The file loaded now: the environment's choice or the default.
std::string DbLibraryFile(int which);

// 0 bound; -1 the file does not load; -2 its first function is missing
// (unloaded again); -3 the gateway's initialisation failed (unloaded).
// Binding a bound library unbinds it first.
int BindDbLibrary(int which);
// Frees the library when it is bound.
void UnbindDbLibrary(int which);
bool DbLibraryBound(int which);
// The entry point of a bound library; null when not bound or missing.
void* DbLibraryFunction(int which, const std::string& name);
// The library's handle (dlopen), null when not bound.
void* DbLibraryHandle(int which);

