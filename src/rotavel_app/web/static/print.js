// The slips page's print button: shown only where scripts run, so a page
// without them has no button that does nothing (the browser's own Print works).
(function () {
  "use strict";
  document.querySelectorAll("button[data-print]").forEach(function (button) {
    button.hidden = false;
    button.addEventListener("click", function () { window.print(); });
  });
})();
