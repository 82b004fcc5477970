# tests of this area are listed here by their author
