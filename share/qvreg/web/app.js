// Hash router: every navigation builds its view afresh in a new container, and a
// view that is still loading when the user moves on can no longer touch the page.
import { api, el, clearErrors, closeConfirm, showError, ApiError } from './api.js';
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

// Who is signed in, asked once: the header names them, and a user who may not administer is
// offered only the repositories they may pull (the routes refuse the rest anyway).
let me = null;

function notAdmin() {
  return ['overview', async ctx => {
    const list = (await api('GET', '/v2/_catalog')).repositories;
    ctx.root.append(el('h1', {}, 'Repositories'),
      el('p', { class: 'notice', id: 'not-admin' }, `Signed in as ${me.user || 'nobody'}: the operator's views need an administrator. ` +
        'These are the repositories you may pull.'),
      list.length ? el('ul', { id: 'pullable', class: 'plain' }, list.map(n => el('li', {}, el('code', {}, n))))
        : el('p', { class: 'empty' }, 'None.'));
  }];
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
  const [view, run] = me && !me.admin ? notAdmin() : route(location.hash);
  document.body.dataset.view = view;
  markNav(view);
  try {
    await run(ctx);
  } catch (e) {
    ctx.fail(e);
  }
  if (ctx.live()) document.body.dataset.ready = '1';
}

async function start() {
  try {
    me = await api('GET', '/v2/_me');
  } catch (e) {
    showError(e);
  }
  if (me && me.sign_in) {
    const who = document.getElementById('whoami');
    who.textContent = me.user ? `${me.user}${me.admin ? ' (administrator)' : ''}` : 'anonymous';
    who.hidden = false;
  }
  if (me && !me.admin) for (const a of document.querySelectorAll('nav a[data-nav="retention"], nav a[data-nav="gc"]')) a.hidden = true;
  window.addEventListener('hashchange', render);
  render();
}

start();
