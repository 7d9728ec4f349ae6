#pragma once
// The script operations "Ereg(", "EregRepl(" and "EregSplit(".
#include "engine/opfactory.h"

const TagOpTable& RegexOperations();
