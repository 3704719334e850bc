// A dynamic script, listed by the "JS Files" parameter and loaded by the page.
"use strict";
document.title = document.title + " (stand-in)";
