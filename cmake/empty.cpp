// A folder whose sources have not landed yet still makes a library.
