#pragma once

class QCoreApplication;

// The dialogs speak the user's language where the client ships a catalogue for it (English);
// for every other language, and when no catalogue fits, they keep the system's own Chinese
// texts. Log lines and what peers read are never translated.
namespace Translation {

// Chooses by the first language the user's locale asks for (LANGUAGE, LC_ALL, LC_MESSAGES,
// LANG); a later fallback language of the list does not count.
void install(QCoreApplication &app);

}  // namespace Translation
