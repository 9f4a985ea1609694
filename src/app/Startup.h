#pragma once

namespace korvalane {

// Creates the program's five windows in their order: the main window Form1a, then
// Form1b, Form2a, Form2b and Form3. Only the main window is shown (by the caller).
void CreateForms();

// Destroys them again and clears the globals.
void DestroyForms();

}  // namespace korvalane
