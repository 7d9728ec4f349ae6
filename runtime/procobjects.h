#pragma once
// The process-wide objects the operations rely on, made in one fixed order
// before the first line and freed in the reverse order after the last line
// has stopped: the connection pool, the ACD queues, the message queues, the
// shared values, the inter-line call queues, the preloaded voices, the
// English number reader, the text-append registry and the user libraries.
// Each lives as long as the process, so a late line thread never finds it
// gone; freeing empties it (its values go while the map registry still
// stands).

// Makes every object in order; a second call does nothing.
void StartProcessObjects();
// Empties them in the reverse order; StartProcessObjects may run again after.
void FinishProcessObjects();
bool ProcessObjectsStarted();
