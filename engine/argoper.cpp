#include "engine/argoper.h"

#include "engine/telbasic.h"

int ArgInt(const TagVar& v) { return v.AsInt(); }

int ArgStored(const TagVar& v) { return v.IntValue(); }

std::string ArgText(const TagVar& v) { return v.Text(); }

std::string ArgPrinted(const TagVar& v) { return v.ToText(false); }

TagKxCall* TagArgOper::Call() const { return root_ ? root_->callObject : nullptr; }
