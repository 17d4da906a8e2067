#pragma once
// The keyboard shortcuts assistive technology announces are the ones that
// work. Qt lends a group box's mnemonic to every check box inside it that has
// none of its own ("Wrap lines" would announce the Log box's Alt+L, as its
// accelerator and so on each of its actions), while the box itself announces
// nothing. Here a group box announces its mnemonic, on an action that does
// what the keys do (focus into the box), and a check box announces only its
// own.

// Installs the factory of these interfaces once; later calls do nothing.
void InstallAccessibleShortcuts();
