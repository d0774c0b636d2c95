// The window arrives with the user-interface work; until then the library is empty.
