// Help pop-up of the status page's header cells: each header calls
// myPopup.startHelp with its text on mouse-over and myPopup.clearHelp on
// mouse-out. Included in the page by the server.
var myPopup = (function () {
  var box = null;
  var x = 0, y = 0;
  document.addEventListener('mousemove', function (e) { x = e.clientX; y = e.clientY; });
  return {
    startHelp: function (text) {
      if (!box) {
        box = document.createElement('div');
        box.id = 'myPopup';
        box.style.cssText = 'position:fixed;z-index:10;padding:2px 6px;font:12px sans-serif;' +
          'background:#ffffe0;color:#000;border:1px solid #808080;pointer-events:none';
        document.body.appendChild(box);
      }
      box.textContent = String(text);
      box.style.left = (x + 12) + 'px';
      box.style.top = (y + 12) + 'px';
      box.style.display = 'block';
    },
    clearHelp: function () {
      if (box) box.style.display = 'none';
    }
  };
})();
