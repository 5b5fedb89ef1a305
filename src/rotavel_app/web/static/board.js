// Reloads the board soon after a publish: asks the server for the plan's
// version every few seconds and reloads when it changed. Without scripts the
// page's meta refresh still reloads it.
(function () {
  "use strict";
  var script = document.currentScript;
  var url = script.dataset.url;
  var version = script.dataset.version;
  var every = Math.max(2, parseInt(script.dataset.poll, 10) || 10) * 1000;
  function check() {
    fetch(url, { cache: "no-store", credentials: "same-origin" })
      .then(function (response) { return response.ok ? response.text() : version; })
      .then(function (now) {
        if (now !== version) { window.location.reload(); } else { setTimeout(check, every); }
      })
      .catch(function () { setTimeout(check, every); });
  }
  setTimeout(check, every);
})();
