#pragma once
// The composition root of the script language: every operation family of the
// program registers its keywords here, once, before the first compile.
void RegisterAllOperations();
