#pragma once
// Form resources: the text that declares a form and its components, compiled into the
// program (klang_add_form_resource in CMake) and read when the form is created.
//
//   object Main: TMain
//     Caption = 'Wagenklang'
//     ClientWidth = 273
//     BorderIcons = [biSystemMenu, biMinimize]
//     OnCreate = FormCreate
//     object btnInfo: TButton
//       Left = 192
//       Caption = '&Info'
//       OnClick = btnInfoClick
//     end
//   end
//
// Values: integers (-11, $FF), strings ('it''s', #13 and joined pieces 'a' + 'b'), True and
// False, enumeration names, sets [a, b], string lists ('one' 'two'). A #n character code is
// written as UTF-8.

#include <string>

#include "Classes.h"
#include "SysUtils.h"

// Keeps text (not copied; a literal) as the resource of the form class className.
void RegisterFormResource(const char* className, const char* text);
// Null when no resource is registered for the class.
const char* FindFormResource(const std::string& className);

// Reads text into root: creates each declared component by class name, owned by root and
// placed in the control it is declared in, assigns root's published field of the same name,
// sets the properties, binds events to root's published handlers, then calls Loaded on the
// components and the root. The root object's class must be root's class. Raises EReadError,
// naming the class, property, value or handler it could not take and the line.
void ReadComponentResource(TComponent* root, const std::string& text);
