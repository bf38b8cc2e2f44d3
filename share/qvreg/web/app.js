// Hash router: every navigation builds its view afresh in a new container, and a
// view that is still loading when the user moves on can no longer touch the page.
import { clearErrors, closeConfirm, showError, ApiError } from './api.js';
import { overview } from './overview.js';
import { repository } from './repo.js';
import { retention } from './retention.js';
import { collection } from './gc.js';

let gen = 0;

function route(hash) {
  const m = /^#\/repo\/(.+)$/.exec(hash);
  if (m) {
    let name = null;
    try { name = decodeURIComponent(m[1]); } catch { /* reported by the view */ }
    return ['repo', ctx => repository(ctx, name)];
  }
  if (hash === '#/retention') return ['retention', retention];
  if (hash === '#/gc') return ['gc', collection];
  if (hash === '' || hash === '#' || hash === '#/') return ['overview', overview];
  return ['notfound', async () => { throw new ApiError(404, 'NOT_FOUND', `no page at ${hash}`); }];
}

function markNav(view, ctxName) {
  const repoLink = document.getElementById('nav-repo');
  if (view === 'repo' && ctxName) {
    repoLink.hidden = false;
    repoLink.textContent = ctxName;
    repoLink.href = location.hash;
  }
  for (const a of document.querySelectorAll('nav a')) {
    if (a.dataset.nav === view) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  }
}

async function render(keepScroll) {
  const my = ++gen;
  closeConfirm();
  clearErrors();
  document.body.dataset.ready = '0';
  const root = document.createElement('div');
  root.id = 'view';
  document.getElementById('view').replaceWith(root);
  if (keepScroll !== true) window.scrollTo(0, 0);
  const ctx = {
    root,
    live: () => my === gen,
    fail: err => { if (my === gen) showError(err); },
    reload: () => render(true),
    setName: name => { if (my === gen) markNav('repo', name); },
  };
  const [view, run] = route(location.hash);
  document.body.dataset.view = view;
  markNav(view);
  try {
    await run(ctx);
  } catch (e) {
    ctx.fail(e);
  }
  if (ctx.live()) document.body.dataset.ready = '1';
}

window.addEventListener('hashchange', render);
render();
