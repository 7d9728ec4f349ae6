#pragma once
// Voice file names of a line, preloaded voice lookup, and the play and append
// steps shared by the voice operations and the number reader.
#include <cstdio>
#include <memory>
#include <string>

class TagTelBasic;
class TagMemVocs;
struct MemStruct;

// There is a "." after the last "/" or "\".
bool HasFileExt(const std::string& name);
// Begins with "\" or "/", or holds "\\" or ":\".
bool IsAbsPath(const std::string& name);
// The default extension added when there is none; a relative name is put
// below the sound directory of the current language.
std::string ResolveVocFileName(const TagTelBasic& inst, const std::string& name);
// The line's own store, made when first asked for.
TagMemVocs& LineMemVocs(TagTelBasic& inst);
// The line's store first, then the process-wide one.
std::shared_ptr<const MemStruct> FindMemVoc(TagTelBasic& inst, const std::string& name);
// Plays a resolved name: from memory when the call object can, else the file.
int PlayVocByName(TagTelBasic& inst, const std::string& name);
// Appends a voice to the play-to-file output (WAVE data with the output's
// header kept up to date, or headerless bytes as they are). 0 or -1.
int AppendVocFile(FILE* out, const std::string& name);
// The same for a voice already open; wave says how to read it, name is for
// the log.
int AppendVocData(FILE* out, FILE* in, bool wave, const std::string& name);
