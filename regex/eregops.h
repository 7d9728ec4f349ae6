#pragma once
// The script operations "Ereg(", "EregRepl(" and "EregSplit(".
class TagOpFactory;
void RegisterRegexOperations(TagOpFactory& f);
