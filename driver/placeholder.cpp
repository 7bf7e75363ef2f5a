// Placeholder until the first source file of this library exists; delete it then.
