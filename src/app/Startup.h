#pragma once

namespace korvalane {

// Creates the program's windows in their order: the main window Form1a, then Form1b,
// Form2a, Form2b, Form3, and the Find and Go to dialogs Form4a and Form4b. Only the main
// window is shown (by the caller).
void CreateForms();

// Destroys them again and clears the globals.
void DestroyForms();

}  // namespace korvalane
