// The shadow rule: classes that the user's own classes give another server than the machine's.
//
// A user may register, under the per-user classes, a class the machine already registers; the
// merged HKEY_CLASSES_ROOT then prefers the user's values, so every program that creates the class
// for that user loads the user's server. This rule lists each class present on both sides whose
// user side has, as the default value of InprocServer32, LocalServer32, TreatAs or
// InprocHandler32, or as InprocServer32\CodeBase or LocalServer32\ServerExecutable, a text the
// machine's side does not have there (compared without regard to letter case, nothing expanded).
#pragma once

#include "classes/classes_merge.h"
#include "rules/class_scan.h"

// The label fields of the shadow rule's lines: 16 characters ending in TAB, saying whose value
// follows and of which subkey.
extern const char LABEL_USER_INPROC[];        // "\Inproc (user)  ", TAB
extern const char LABEL_MACHINE_INPROC[];     // "\Inproc (mach)  ", TAB
extern const char LABEL_USER_LOCAL[];         // "\Local (user)   ", TAB
extern const char LABEL_MACHINE_LOCAL[];      // "\Local (mach)   ", TAB
extern const char LABEL_USER_TREATAS[];       // "\TreatAs (user)", TAB
extern const char LABEL_MACHINE_TREATAS[];    // "\TreatAs (mach)", TAB
extern const char LABEL_USER_HANDLER[];       // "\Handler (user)", TAB
extern const char LABEL_MACHINE_HANDLER[];    // "\Handler (mach)", TAB
extern const char LABEL_USER_CODEBASE[];      // "\CodeBase(user)", TAB
extern const char LABEL_MACHINE_CODEBASE[];   // "\CodeBase(mach)", TAB
extern const char LABEL_USER_EXECUTABLE[];    // "\Exec (user)    ", TAB
extern const char LABEL_MACHINE_EXECUTABLE[]; // "\Exec (mach)    ", TAB

// Walks the merged view's CLSID key of `which` through the frame, and lists the overrides that the
// two sides of `sides` show. One entry per class and overriding subkey: the description, the
// user's value and the machine's value, then an empty line.
RuleReport scan_shadowed_classes(const MemoryRegistry &view, const ClassesSides &sides,
                                 Bitness which);
